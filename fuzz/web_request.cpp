// The web pages' request decoding on arbitrary text: forms, cookies, Host and
// Origin headers, and the access check that reads them all. No crash, and
// what goes back into a page or a script cannot break out of it.
#include <cstddef>
#include <cstdint>
#include <string>

#include "companion/web/Access.h"
#include "companion/web/Http.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    // Four parts split at NUL bytes: body, cookie, host, origin.
    std::string part[4];
    int p = 0;
    for (char c : in) {
        if (c == '\0' && p < 3)
            ++p;
        else
            part[p] += c;
    }
    const web::Fields form = web::ParseForm(part[0]);
    if (form.size() > 64) __builtin_trap();
    for (const auto& [name, value] : form) {
        if (name.empty()) __builtin_trap();
        const std::string html = web::HtmlEscape(value);
        if (html.find_first_of("<>\"'") != std::string::npos) __builtin_trap();
        const std::string json = web::JsonString(value);
        for (std::size_t i = 1; i + 1 < json.size(); ++i)
            if (static_cast<unsigned char>(json[i]) < 0x20) __builtin_trap();
    }
    (void)web::ParseCookies(part[1]);
    if (auto hp = web::ParseHostHeader(part[2]); hp && (hp->port < 1 || hp->port > 65535))
        __builtin_trap();
    (void)web::ParseOrigin(part[3]);
    if (web::UrlDecode(part[0], true).size() > part[0].size()) __builtin_trap();

    platform::ManualClock clock;
    web::Access access(clock, "0123456789abcdef0123456789abcdef", {{"127.0.0.1", 8786}}, 8786,
                       [] { return std::string("s"); });
    web::Request req;
    req.method = part[0].size() % 2 ? "POST" : "GET";
    req.path = "/";
    req.query = web::ParseForm(part[0]);
    req.body = part[0];
    req.headers["cookie"] = part[1];
    req.headers["host"] = part[2];
    req.headers["origin"] = part[3];
    const web::Access::Verdict v = access.Check(req);
    // Without the token no session can be had.
    if (!v.answer && req.Query("token") != "0123456789abcdef0123456789abcdef") __builtin_trap();
    return 0;
}
