#pragma once
// Outcomes of platform calls: every call reports failure by its result, never
// by an exception across a module boundary.
#include <optional>
#include <string>
#include <utility>

namespace platform {

enum class Fail {
    None,
    Internal,
    NotFound,
    Io,
    Format,
    Connection,
    Protocol,
    Rejected,
    TimedOut,
    Cancelled
};

struct [[nodiscard]] Status {
    Fail kind = Fail::None;
    std::string detail;  // human-readable reason: errno text, server line, library message
    int error = 0;       // the errno behind it, when a system call failed

    explicit operator bool() const { return kind == Fail::None; }
    bool ok() const { return kind == Fail::None; }
    static Status Ok() { return {}; }
    static Status Error(Fail k, std::string d) { return Status{k, std::move(d)}; }
};

// A value or the Status that explains why there is none.
template <class T>
class [[nodiscard]] Result {
  public:
    Result(T value) : value_(std::move(value)) {}
    Result(Status st) : status_(std::move(st)) {
        if (status_.ok()) status_ = Status::Error(Fail::Internal, "empty result");
    }
    explicit operator bool() const { return value_.has_value(); }
    bool ok() const { return value_.has_value(); }
    T& operator*() { return *value_; }
    const T& operator*() const { return *value_; }
    T* operator->() { return &*value_; }
    const T* operator->() const { return &*value_; }
    T& value() { return *value_; }
    const T& value() const { return *value_; }
    T value_or(T other) const { return value_ ? *value_ : std::move(other); }
    const Status& status() const { return status_; }

  private:
    std::optional<T> value_;
    Status status_;
};

// errno as a Status, for adapters around POSIX calls.
Status ErrnoStatus(Fail kind, const std::string& what);

}  // namespace platform
