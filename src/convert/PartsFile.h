#pragma once
// The contents of one message's attachment parts, one after another in one
// file of the temporary folder, until the message is stored: a message of
// any number of parts costs one file and one descriptor, and the body and
// data files are reused for the next part at once.
#include <sys/types.h>

#include <string>

#include "platform/Files.h"
#include "platform/Result.h"

namespace convert {

struct PartRange {
    off_t offset = 0;
    off_t length = 0;
};

class PartsFile {
  public:
    // path: the file, created or emptied by Begin.
    explicit PartsFile(std::string path) : path_(std::move(path)) {}
    const std::string& Path() const { return path_; }

    // Empties the file for a new message.
    platform::Status Begin();
    // Appends the bytes of a file as they are.
    platform::Result<PartRange> Append(const std::string& from);
    // Appends base64 text that is already in the form a store keeps: lines
    // (CR LF or LF) of at most 76 alphabet characters, padding only at the
    // end, whole groups, empty lines only at the end. It is copied with LF
    // line ends. Other text fails with Fail::Format and leaves the file as it
    // was.
    platform::Result<PartRange> AppendBase64(const std::string& from);

  private:
    platform::Status Write(std::string_view data);
    // Drops what was appended after `offset`.
    void Rewind(off_t offset);
    std::string path_;
    platform::UniqueFd fd_;
    off_t end_ = 0;
};

}  // namespace convert
