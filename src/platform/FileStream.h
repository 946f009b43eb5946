#pragma once
// Small buffered file readers and writers on POSIX descriptors, for the
// converters that stream files of any size through a fixed buffer.
#include <cerrno>
#include <cstddef>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Files.h"

namespace platform {

class FileIn {
  public:
    explicit FileIn(std::size_t bufferSize = 64 * 1024);
    ~FileIn();
    FileIn(const FileIn&) = delete;
    FileIn& operator=(const FileIn&) = delete;

    bool Open(const std::string& path);
    void Close();
    bool IsOpen() const { return fd_ >= 0; }
    // The errno of a read that failed since Open (0 when none did): such a
    // file reads as if it ended there.
    int Error() const { return error_; }

    // Next byte (0..255), or -1 at the end of the file or on a read error.
    int Get() {
        if (pos_ == len_ && !Fill()) return -1;
        return static_cast<unsigned char>(buf_[pos_++]);
    }
    // Next byte without taking it; -1 at the end.
    int Peek() {
        if (pos_ == len_ && !Fill()) return -1;
        return static_cast<unsigned char>(buf_[pos_]);
    }
    bool AtEnd() { return Peek() < 0; }

    // The buffered bytes not yet taken (refills when empty); empty at the end.
    std::string_view Available() {
        if (pos_ == len_ && !Fill()) return {};
        return std::string_view(buf_.data() + pos_, len_ - pos_);
    }
    void Skip(std::size_t n) { pos_ += n; }

    // Every byte read from now on is fed to `digest` (nullptr: none), so that
    // a walk over a file and its digest cost one read.
    void DigestInto(FileDigester* digest) { digest_ = digest; }
    // Reads what is left of the file, for its digest; false on a read error.
    bool ReadToEnd();

  private:
    bool Fill();
    FileDigester* digest_ = nullptr;
    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t pos_ = 0;
    std::size_t len_ = 0;
    int error_ = 0;
};

class FileOut {
  public:
    explicit FileOut(std::size_t bufferSize = 64 * 1024);
    ~FileOut();
    FileOut(const FileOut&) = delete;
    FileOut& operator=(const FileOut&) = delete;

    // Creates (mode 0600) or writes over, the old contents cut at Close;
    // never follows a symbolic link.
    bool Create(const std::string& path);
    // Opens for appending, creating the file when missing.
    bool Append(const std::string& path);
    // Flushes and closes; false when any write failed.
    bool Close();
    bool IsOpen() const { return fd_ >= 0; }
    bool Failed() const { return failed_; }
    // The errno of the first failure (EIO for a write that wrote nothing).
    int Error() const { return error_; }

    void Put(char c) {
        if (len_ == buf_.size()) Flush();
        buf_[len_++] = c;
    }
    void Write(std::string_view s);
    void Flush();

  private:
    bool OpenWith(const std::string& path, int flags);
    int fd_ = -1;
    std::vector<char> buf_;
    std::size_t len_ = 0;
    bool failed_ = false;
    bool overwrite_ = false;  // Create: cut the file at Close
    int error_ = 0;
    void SetFailed(int err) {
        if (!failed_) error_ = err ? err : EIO;
        failed_ = true;
    }
};

}  // namespace platform
