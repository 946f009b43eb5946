#pragma once
// The contents of one message's attachment parts, one after another in one
// file of the temporary folder, until the message is stored: a message of
// any number of parts costs one file and one descriptor, and the body and
// data files are reused for the next part at once.
#include <sys/types.h>

#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "platform/Result.h"

namespace convert {

class Base64Checker;

struct PartRange {
    off_t offset = 0;
    off_t length = 0;
};

class PartsFile {
  public:
    // path: the file, created or emptied by Begin.
    explicit PartsFile(std::string path);
    ~PartsFile();
    const std::string& Path() const { return path_; }

    // Empties the file for a new message.
    platform::Status Begin();
    // Appends the bytes of a file as they are.
    platform::Result<PartRange> Append(const std::string& from);
    // Appends base64 text as it comes, piece by piece, when it is already in
    // the form a store keeps: lines (CR LF or LF) of at most 76 alphabet
    // characters, padding only at the end, whole groups, empty lines only at
    // the end. It is kept with LF line ends. Base64Begin, then Base64Piece
    // for each piece, then Base64End. Other text fails with Fail::Format:
    // what was appended of it (Base64Text) stays until Rewind, so that the
    // caller can take it back to decode it.
    void Base64Begin();
    platform::Status Base64Piece(std::string_view piece);
    platform::Result<PartRange> Base64End();
    PartRange Base64Text() const { return PartRange{base64Start_, end_ - base64Start_}; }

    // Hands the bytes of a range to `to`, in pieces.
    platform::Status ReadRange(PartRange range,
                               const std::function<void(std::string_view)>& to) const;
    // Drops what was appended after `offset`.
    void Rewind(off_t offset);

  private:
    platform::Status Write(std::string_view data);
    std::string path_;
    platform::UniqueFd fd_;
    off_t end_ = 0;
    off_t base64Start_ = 0;
    std::unique_ptr<Base64Checker> checker_;
    std::string scratch_;  // a piece in the kept form, when it was not
};

}  // namespace convert
