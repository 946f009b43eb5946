#pragma once
// One message downloaded into its part file, fed the RETR answer piece by
// piece: the answer's first line judged once it is whole, the text written
// in whole blocks as it comes, the end found wherever the pieces are cut.
// The file holds the answer exactly as received, from the "+OK" line to the
// terminating "." line.
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/Files.h"
#include "pop/PopReply.h"

namespace pop {

class MessageDownload {
  public:
    // `listed`: the size LIST gave (-1 unknown). `cap`: no download grows
    // past it, nor past twice the size announced (and a little more).
    MessageDownload(std::string path, std::int64_t listed, std::int64_t cap);

    // Creates the part file; false (the reason in error()) when it cannot.
    bool Open();

    enum class Step { More, Whole, Refused, TooLarge, WriteFailed };
    // Takes the next piece; `used` becomes how much of it belongs to the
    // answer. Refused: the first line is no "+OK" with a line end.
    Step Feed(std::string_view piece, std::size_t& used);

    // The answer's first line, once whole.
    const std::string& head() const { return end_.head(); }
    // Bytes received after the first line.
    std::int64_t received() const { return received_; }
    // The size expected: the larger of the listed and the announced one (-1 unknown).
    std::int64_t expected() const { return expected_; }
    std::int64_t cap() const { return cap_; }
    const std::string& error() const { return error_; }
    const std::string& path() const { return path_; }

  private:
    bool Write(std::string_view data);

    std::string path_;
    std::int64_t expected_;
    std::int64_t cap_;
    platform::UniqueFd file_;
    AnswerEnd end_;
    bool sized_ = false;
    std::int64_t total_ = 0;      // bytes of the answer so far
    std::int64_t headBytes_ = 0;  // of its first line
    std::int64_t received_ = 0;
    std::string block_;  // received, not yet written
    std::string error_;
};

}  // namespace pop
