#include "linux/maildir/Mime.h"

#include <mutex>

#include "platform/Text.h"

namespace platform::maildir {
namespace {

std::string FirstAddressAt(InternetAddressList* list, int depth) {
    if (!list || depth > 8) return {};
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
            const char* a = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
            if (a && *a) return a;
        } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            std::string a = FirstAddressAt(
                internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), depth + 1);
            if (!a.empty()) return a;
        }
    }
    return {};
}

}  // namespace

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::string EncodeHeaderText(const std::string& text) {
    bool plain = !text.empty() && text.size() <= 200 && text.front() != ' ' && text.back() != ' ' &&
                 text.rfind("b64:", 0) != 0 && text.find("  ") == std::string::npos;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7e) plain = false;
    // "=?" would be taken for an encoded word by readers.
    if (text.find("=?") != std::string::npos) plain = false;
    if (plain) return text;
    gchar* b = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
    std::string out = std::string("b64:") + b;
    g_free(b);
    return out;
}

std::string DecodeHeaderText(const std::string& value) {
    std::string v = Trim(value);
    if (v.rfind("b64:", 0) != 0) return value;
    gsize len = 0;
    guchar* raw = g_base64_decode(v.c_str() + 4, &len);
    std::string out(reinterpret_cast<const char*>(raw), len);
    g_free(raw);
    return out;
}

std::string AsUtf8(const std::string& s) {
    if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) return s;
    return Latin1ToUtf8(s);
}

std::string FirstAddress(InternetAddressList* list) {
    return FirstAddressAt(list, 0);
}

std::string FirstAddressIn(const std::string& text) {
    std::string utf8 = AsUtf8(text);
    Ref<InternetAddressList> list(internet_address_list_parse(nullptr, utf8.c_str()));
    return FirstAddress(list.get());
}

}  // namespace platform::maildir
