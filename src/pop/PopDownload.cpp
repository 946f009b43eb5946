#include "pop/PopDownload.h"

#include <fcntl.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace pop {
namespace {

constexpr std::size_t kFileBlock = 4096;
// What any honest answer may add to the size announced for it: dot-stuffing
// and line ends counted differently.
constexpr std::int64_t kSlack = 64 * 1024;

}  // namespace

MessageDownload::MessageDownload(std::string path, std::int64_t listed, std::int64_t cap)
    : path_(std::move(path)), expected_(listed), cap_(cap) {
    if (listed > 0) cap_ = std::min(cap_, 2 * listed + kSlack);
}

bool MessageDownload::Open() {
    file_ = platform::UniqueFd(
        ::open(path_.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!file_) error_ = "cannot create " + path_ + ": " + std::strerror(errno);
    return static_cast<bool>(file_);
}

bool MessageDownload::Write(std::string_view data) {
    const platform::Status st = platform::WriteAll(file_.get(), data, path_);
    if (!st) error_ = st.detail;
    return static_cast<bool>(st);
}

MessageDownload::Step MessageDownload::Feed(std::string_view piece, std::size_t& used) {
    used = end_.Feed(piece);
    block_.append(piece.substr(0, used));
    total_ += static_cast<std::int64_t>(used);
    if (!end_.headComplete()) return Step::More;
    if (!sized_) {
        RetrHead h;
        if (!ParseRetrHead(end_.head(), h)) return Step::Refused;
        expected_ = std::max(expected_, h.announced);
        if (expected_ > 0) cap_ = std::min(cap_, 2 * expected_ + kSlack);
        headBytes_ = static_cast<std::int64_t>(h.lineEnd);
        sized_ = true;
    }
    received_ = total_ - headBytes_;
    if (received_ > cap_) return Step::TooLarge;
    if (end_.done()) {
        if (!Write(block_)) return Step::WriteFailed;
        block_.clear();
        // The sync before QUIT then finds the message written already.
        platform::StartWriteBack(file_.get());
        const platform::Status st = file_.Close(path_);
        if (!st) error_ = st.detail;
        return st ? Step::Whole : Step::WriteFailed;
    }
    // Whole blocks go to the file as they come, so that memory does not grow
    // with the message.
    if (block_.size() >= kFileBlock) {
        const std::size_t n = block_.size() / kFileBlock * kFileBlock;
        if (!Write(std::string_view(block_).substr(0, n))) return Step::WriteFailed;
        block_.erase(0, n);
    }
    return Step::More;
}

}  // namespace pop
