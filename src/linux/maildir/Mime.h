#pragma once
// What reading and writing message files share: GMime's set-up, references
// that release themselves, the headers that carry an attachment's name and
// source, and address helpers.
#include <gmime/gmime.h>

#include <string>
#include <utility>

namespace platform::maildir {

// Where a message file keeps the conversion's note for the inbox walk.
inline constexpr const char* kNoteHeader = "X-VoxaFax-Note";
// Where it keeps the digest of the file it was converted from.
inline constexpr const char* kOriginHeader = "X-VoxaFax-Origin";

// GMime is set up once per process.
void EnsureGMime();

// Releases a GObject reference at scope end.
template <class T>
class Ref {
  public:
    Ref() = default;
    explicit Ref(T* v) : p_(v) {}
    Ref(Ref&& o) noexcept : p_(std::exchange(o.p_, nullptr)) {}
    Ref& operator=(Ref&& o) noexcept {
        if (this != &o) Reset(std::exchange(o.p_, nullptr));
        return *this;
    }
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() { Reset(nullptr); }
    void Reset(T* v) {
        if (p_) g_object_unref(p_);
        p_ = v;
    }
    T* get() const { return p_; }
    explicit operator bool() const { return p_ != nullptr; }

  private:
    T* p_ = nullptr;
};

// Name and source of an attachment as they were set through the store; a
// part without them is named by its file name.
inline constexpr const char* kNameHeader = "X-VF-Attachment-Name";
inline constexpr const char* kSourceHeader = "X-VF-Attachment-Source";

// "b64:" + base64 when the text would not survive a header line unchanged.
std::string EncodeHeaderText(const std::string& text);
std::string DecodeHeaderText(const std::string& value);

// GMime wants UTF-8 for header texts; ours are bytes, most often Latin-1 when
// they are not UTF-8 already.
std::string AsUtf8(const std::string& s);

// The first mailbox address of a list, looking into groups; "" when none.
std::string FirstAddress(InternetAddressList* list);
// The first address in a mailbox text ("Name <a@b>", "a@b", a group).
std::string FirstAddressIn(const std::string& text);

}  // namespace platform::maildir
