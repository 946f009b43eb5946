#include "companion/web/Http.h"

#include <cstdio>

#include "platform/Text.h"

namespace web {
namespace {

int HexValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

// Length of the UTF-8 sequence at s[i], or 0 when it is not one.
std::size_t Utf8Length(std::string_view s, std::size_t i) {
    const auto b = static_cast<unsigned char>(s[i]);
    std::size_t n = b < 0x80 ? 1 : (b >> 5) == 6 ? 2 : (b >> 4) == 14 ? 3 : (b >> 3) == 30 ? 4 : 0;
    if (n == 0 || i + n > s.size()) return 0;
    for (std::size_t k = 1; k < n; ++k)
        if ((static_cast<unsigned char>(s[i + k]) >> 6) != 2) return 0;
    // Overlong forms and surrogates are not text.
    const auto b1 = static_cast<unsigned char>(n > 1 ? s[i + 1] : 0);
    if (n == 2 && b < 0xC2) return 0;
    if (n == 3 && ((b == 0xE0 && b1 < 0xA0) || (b == 0xED && b1 >= 0xA0))) return 0;
    if (n == 4 && ((b == 0xF0 && b1 < 0x90) || b > 0xF4 || (b == 0xF4 && b1 >= 0x90))) return 0;
    return n;
}

std::optional<int> PortNumber(std::string_view s) {
    if (s.empty() || s.size() > 5) return std::nullopt;
    int port = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        port = port * 10 + (c - '0');
    }
    if (port < 1 || port > 65535) return std::nullopt;
    return port;
}

bool HostChar(char c) {
    return (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') || c == '-' || c == '.' || c == '_';
}

}  // namespace

std::string Request::Header(const std::string& lowerName) const {
    auto it = headers.find(lowerName);
    return it == headers.end() ? std::string() : it->second;
}

std::string Request::Query(const std::string& name) const {
    auto it = query.find(name);
    return it == query.end() ? std::string() : it->second;
}

Response Response::Html(std::string body, int status) {
    Response r;
    r.status = status;
    r.body = std::move(body);
    return r;
}

Response Response::Text(int status, std::string body) {
    Response r;
    r.status = status;
    r.contentType = "text/plain; charset=utf-8";
    r.body = std::move(body);
    return r;
}

Response Response::Json(std::string body) {
    Response r;
    r.contentType = "application/json";
    r.body = std::move(body);
    return r;
}

Response Response::Redirect(const std::string& location) {
    Response r;
    r.status = 303;
    r.contentType = "text/plain; charset=utf-8";
    r.headers.emplace_back("Location", location);
    return r;
}

std::string UrlDecode(std::string_view s, bool plusIsBlank) {
    std::string out;
    out.reserve(s.size());
    for (std::size_t i = 0; i < s.size(); ++i) {
        const char c = s[i];
        if (c == '+' && plusIsBlank) {
            out += ' ';
        } else if (c == '%' && i + 2 < s.size() && HexValue(s[i + 1]) >= 0 &&
                   HexValue(s[i + 2]) >= 0) {
            out += static_cast<char>(HexValue(s[i + 1]) * 16 + HexValue(s[i + 2]));
            i += 2;
        } else {
            out += c;
        }
    }
    return out;
}

std::string UrlEncode(std::string_view s) {
    std::string out;
    for (char c : s) {
        const auto u = static_cast<unsigned char>(c);
        if ((u >= 'a' && u <= 'z') || (u >= 'A' && u <= 'Z') || (u >= '0' && u <= '9') ||
            c == '-' || c == '.' || c == '_' || c == '~') {
            out += c;
        } else {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", u);
            out += buf;
        }
    }
    return out;
}

Fields ParseForm(std::string_view body, std::size_t maxFields) {
    Fields fields;
    std::size_t read = 0;
    while (!body.empty() && read < maxFields) {
        const std::size_t amp = body.find('&');
        const std::string_view pair = body.substr(0, amp);
        body = amp == std::string_view::npos ? std::string_view() : body.substr(amp + 1);
        if (pair.empty()) continue;
        ++read;
        const std::size_t eq = pair.find('=');
        std::string name = UrlDecode(pair.substr(0, eq), true);
        if (name.empty()) continue;
        std::string value =
            eq == std::string_view::npos ? std::string() : UrlDecode(pair.substr(eq + 1), true);
        fields.emplace(std::move(name), std::move(value));
    }
    return fields;
}

Fields ParseCookies(std::string_view header) {
    Fields cookies;
    while (!header.empty()) {
        const std::size_t semi = header.find(';');
        const std::string_view pair = platform::TrimView(header.substr(0, semi), " \t");
        header = semi == std::string_view::npos ? std::string_view() : header.substr(semi + 1);
        const std::size_t eq = pair.find('=');
        if (eq == std::string_view::npos || eq == 0) continue;
        std::string_view value = platform::TrimView(pair.substr(eq + 1), " \t");
        if (value.size() >= 2 && value.front() == '"' && value.back() == '"')
            value = value.substr(1, value.size() - 2);
        cookies.emplace(std::string(platform::TrimView(pair.substr(0, eq), " \t")),
                        std::string(value));
    }
    return cookies;
}

std::optional<HostPort> ParseHostHeader(std::string_view text, int defaultPort) {
    const std::string t = platform::Lower(platform::TrimView(text, " \t"));
    if (t.empty() || t.size() > 255) return std::nullopt;
    HostPort hp;
    std::string_view rest;
    if (t[0] == '[') {
        const std::size_t close = t.find(']');
        if (close == std::string::npos || close < 3) return std::nullopt;
        for (char c : std::string_view(t).substr(1, close - 1))
            if (!((c >= '0' && c <= '9') || (c >= 'a' && c <= 'f') || c == ':' || c == '.'))
                return std::nullopt;
        hp.host = t.substr(0, close + 1);
        rest = std::string_view(t).substr(close + 1);
    } else {
        const std::size_t colon = t.find(':');
        hp.host = t.substr(0, colon);
        rest = colon == std::string::npos ? std::string_view() : std::string_view(t).substr(colon);
        if (hp.host.empty()) return std::nullopt;
        for (char c : hp.host)
            if (!HostChar(c)) return std::nullopt;
    }
    if (rest.empty()) {
        hp.port = defaultPort;
    } else {
        if (rest[0] != ':') return std::nullopt;
        auto port = PortNumber(rest.substr(1));
        if (!port) return std::nullopt;
        hp.port = *port;
    }
    return hp;
}

std::optional<HostPort> ParseOrigin(std::string_view text) {
    constexpr std::string_view kScheme = "http://";
    const std::string_view t = platform::TrimView(text, " \t");
    if (t.size() <= kScheme.size() || !platform::EqualsNoCase(t.substr(0, kScheme.size()), kScheme))
        return std::nullopt;
    const std::string_view authority = t.substr(kScheme.size());
    if (authority.find_first_of("/?#@") != std::string_view::npos) return std::nullopt;
    return ParseHostHeader(authority, 80);
}

std::string HtmlEscape(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (char c : s) {
        switch (c) {
            case '&':
                out += "&amp;";
                break;
            case '<':
                out += "&lt;";
                break;
            case '>':
                out += "&gt;";
                break;
            case '"':
                out += "&quot;";
                break;
            case '\'':
                out += "&#39;";
                break;
            default:
                out += c;
        }
    }
    return out;
}

std::string JsonString(std::string_view s) {
    std::string out = "\"";
    for (std::size_t i = 0; i < s.size();) {
        const auto u = static_cast<unsigned char>(s[i]);
        if (u == '"' || u == '\\') {
            out += '\\';
            out += s[i++];
        } else if (u < 0x20 || u == 0x7f) {
            char buf[8];
            std::snprintf(buf, sizeof buf, "\\u%04x", u);
            out += buf;
            ++i;
        } else if (std::size_t n = Utf8Length(s, i); n > 0) {
            out.append(s.substr(i, n));
            i += n;
        } else {
            out += "\xEF\xBF\xBD";
            ++i;
        }
    }
    return out + "\"";
}

bool SameSecret(std::string_view a, std::string_view b) {
    unsigned char diff = a.size() == b.size() ? 0 : 1;
    for (std::size_t i = 0; i < a.size(); ++i)
        diff |= static_cast<unsigned char>(a[i] ^ (i < b.size() ? b[i] : 0));
    return diff == 0 && !a.empty();
}

}  // namespace web
