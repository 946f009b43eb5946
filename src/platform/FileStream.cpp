#include "platform/FileStream.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/Files.h"

namespace platform {

FileIn::FileIn(std::size_t bufferSize) : buf_(bufferSize ? bufferSize : 1) {}
FileIn::~FileIn() {
    Close();
}

bool FileIn::Open(const std::string& path) {
    Close();
    // The files read here are the program's own (In/, temp/): never a link.
    fd_ = ::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW);
    pos_ = len_ = 0;
    error_ = 0;
    return fd_ >= 0;
}

void FileIn::Close() {
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
    pos_ = len_ = 0;
}

bool FileIn::Fill() {
    if (fd_ < 0) return false;
    for (;;) {
        ssize_t n = ::read(fd_, buf_.data(), buf_.size());
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            if (n < 0 && error_ == 0) error_ = errno;
            pos_ = len_ = 0;
            return false;
        }
        pos_ = 0;
        len_ = static_cast<std::size_t>(n);
        if (digest_) digest_->Update(std::string_view(buf_.data(), len_));
        return true;
    }
}

bool FileIn::ReadToEnd() {
    while (fd_ >= 0 && Fill()) pos_ = len_;
    return error_ == 0;
}

FileOut::FileOut(std::size_t bufferSize) : buf_(bufferSize ? bufferSize : 1) {}
FileOut::~FileOut() {
    Close();
}

bool FileOut::OpenWith(const std::string& path, int flags) {
    Close();
    failed_ = false;
    error_ = 0;
    fd_ = ::open(path.c_str(), flags | O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd_ < 0) SetFailed(errno);
    return fd_ >= 0;
}

// Written over and cut at Close (CutAtOffset), rather than truncated first.
bool FileOut::Create(const std::string& path) {
    const bool ok = OpenWith(path, 0);
    overwrite_ = ok;
    return ok;
}
bool FileOut::Append(const std::string& path) {
    overwrite_ = false;
    return OpenWith(path, O_APPEND);
}

void FileOut::Flush() {
    std::size_t off = 0;
    while (off < len_) {
        if (fd_ < 0) {
            SetFailed(EBADF);
            break;
        }
        ssize_t n = ::write(fd_, buf_.data() + off, len_ - off);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) {
            SetFailed(n < 0 ? errno : EIO);
            break;
        }
        off += static_cast<std::size_t>(n);
    }
    len_ = 0;
}

void FileOut::Write(std::string_view s) {
    while (!s.empty()) {
        if (len_ == buf_.size()) Flush();
        std::size_t n = std::min(s.size(), buf_.size() - len_);
        std::memcpy(buf_.data() + len_, s.data(), n);
        len_ += n;
        s.remove_prefix(n);
    }
}

bool FileOut::Close() {
    if (fd_ < 0) {
        len_ = 0;
        return !failed_;
    }
    Flush();
    if (overwrite_ && !failed_ && !CutAtOffset(fd_, {})) SetFailed(errno);
    overwrite_ = false;
    if (::close(fd_) != 0) SetFailed(errno);
    fd_ = -1;
    return !failed_;
}

}  // namespace platform
