#include "platform/Text.h"

#include <algorithm>
#include <cerrno>
#include <cstdint>
#include <cstdlib>

namespace platform {
namespace {
char LowerOf(char c) {
    return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
}
char UpperOf(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}
}  // namespace

std::string Lower(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = LowerOf(c);
    return out;
}

std::string Upper(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = UpperOf(c);
    return out;
}

std::string_view TrimView(std::string_view s, std::string_view chars) {
    const std::size_t b = s.find_first_not_of(chars);
    if (b == std::string_view::npos) return {};
    return s.substr(b, s.find_last_not_of(chars) - b + 1);
}

std::string Trim(std::string_view s, std::string_view chars) {
    return std::string(TrimView(s, chars));
}

std::string TrimBlanks(std::string_view s) {
    return Trim(s, " ");
}

bool EqualsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (std::size_t i = 0; i < a.size(); ++i)
        if (LowerOf(a[i]) != LowerOf(b[i])) return false;
    return true;
}

std::size_t FindNoCase(std::string_view hay, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i)
        if (EqualsNoCase(hay.substr(i, needle.size()), needle)) return i;
    return std::string_view::npos;
}

bool ContainsNoCase(std::string_view hay, std::string_view needle) {
    return FindNoCase(hay, needle) != std::string_view::npos;
}

std::string OneLine(std::string_view text, std::size_t max, std::string_view more) {
    const bool cut = text.size() > max;
    if (cut) text = text.substr(0, max);
    std::string out;
    out.reserve(text.size() + (cut ? more.size() : 0));
    for (char ch : text) {
        const auto c = static_cast<unsigned char>(ch);
        out += c < 0x20 || c == 0x7f ? ' ' : ch;
    }
    if (cut) out += more;
    return out;
}

namespace {

// Edits between two names, ignoring case; a swap of neighbours is one.
std::size_t Distance(std::string_view a, std::string_view b) {
    const std::string x = Lower(a), y = Lower(b);
    std::vector<std::vector<std::size_t>> d(x.size() + 1, std::vector<std::size_t>(y.size() + 1));
    for (std::size_t i = 0; i <= x.size(); ++i) d[i][0] = i;
    for (std::size_t j = 0; j <= y.size(); ++j) d[0][j] = j;
    for (std::size_t i = 1; i <= x.size(); ++i)
        for (std::size_t j = 1; j <= y.size(); ++j) {
            d[i][j] = std::min({d[i - 1][j] + 1, d[i][j - 1] + 1,
                                d[i - 1][j - 1] + (x[i - 1] == y[j - 1] ? 0 : 1)});
            if (i > 1 && j > 1 && x[i - 1] == y[j - 2] && x[i - 2] == y[j - 1])
                d[i][j] = std::min(d[i][j], d[i - 2][j - 2] + 1);
        }
    return d[x.size()][y.size()];
}

}  // namespace

std::string Closest(std::string_view name, const std::vector<std::string>& names) {
    std::string best;
    std::size_t bestD = 3;  // at most two edits away
    for (const std::string& n : names) {
        const std::size_t dist = Distance(name, n);
        if (dist < bestD && dist < std::max<std::size_t>(n.size() / 3, 1) + 1) {
            best = n;
            bestD = dist;
        }
    }
    return best;
}

std::optional<long> ParseLong(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (!end || *end != '\0' || errno == ERANGE) return std::nullopt;
    return v;
}

std::string Base64(std::string_view bytes) {
    static constexpr char kAlphabet[] =
        "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        std::uint32_t v = 0;
        for (std::size_t k = 0; k < 3; ++k)
            v = v << 8 | (k < n ? static_cast<unsigned char>(bytes[i + k]) : 0u);
        for (std::size_t k = 0; k < 4; ++k)
            out += k <= n ? kAlphabet[(v >> (18 - 6 * k)) & 63] : '=';
    }
    return out;
}

std::string Latin1ToUtf8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    for (unsigned char c : s) {
        if (c < 0x80) {
            out += static_cast<char>(c);
        } else {
            out += static_cast<char>(0xc0 | (c >> 6));
            out += static_cast<char>(0x80 | (c & 0x3f));
        }
    }
    return out;
}

}  // namespace platform
