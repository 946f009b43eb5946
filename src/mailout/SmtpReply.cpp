#include "mailout/SmtpReply.h"

#include <cctype>
#include <sstream>

#include "platform/Text.h"

namespace mailout {
namespace {

constexpr std::size_t kLogTextMax = 200;
constexpr char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

// The reply's lines without their line ends; a last line without one counts.
std::vector<std::string_view> Lines(std::string_view reply) {
    std::vector<std::string_view> out;
    while (!reply.empty()) {
        std::size_t lf = reply.find('\n');
        std::string_view line = reply.substr(0, lf);
        if (line.ends_with('\r')) line.remove_suffix(1);
        out.push_back(line);
        if (lf == std::string_view::npos) break;
        reply.remove_prefix(lf + 1);
    }
    return out;
}

bool IsDigit(char c) {
    return c >= '0' && c <= '9';
}

}  // namespace

std::string ReplyCode(std::string_view reply, bool multiLine) {
    if (!multiLine) return std::string(reply.substr(0, 4));
    const auto lines = Lines(reply);
    if (lines.empty()) return "";
    const std::string_view code = lines.front().substr(0, 3);
    if (code.size() < 3 || !IsDigit(code[0]) || !IsDigit(code[1]) || !IsDigit(code[2])) return "";
    // Lines "ddd-" up to the last one, "ddd " or the bare code. What comes
    // after that line is no part of this reply.
    for (std::string_view l : lines) {
        if (l.substr(0, 3) != code) return "";
        if (l.size() == 3 || l[3] == ' ') return std::string(code) + " ";
        if (l[3] != '-') return "";
    }
    return "";
}

std::string ReplyWords(std::string_view reply) {
    std::string out;
    for (std::string_view l : Lines(reply)) {
        if (l.size() >= 4 && IsDigit(l[0]) && IsDigit(l[1]) && IsDigit(l[2]) &&
            (l[3] == ' ' || l[3] == '-'))
            l.remove_prefix(4);
        const std::string words = platform::TrimBlanks(l);
        if (words.empty()) continue;
        if (!out.empty()) out += ' ';
        out += words;
    }
    return out;
}

std::string ExtensionsOf(std::string_view ehloReply) {
    std::string out;
    const auto lines = Lines(ehloReply);
    if (!lines.empty() && lines[0].size() >= 4 && lines[0][3] == ' ') return out;
    for (std::size_t i = 1; i < lines.size(); ++i) {
        std::string_view l = lines[i];
        if (l.size() < 4) break;
        out += platform::Upper(platform::TrimBlanks(l.substr(4))) + "\n";
        if (l[3] == ' ') break;  // the reply's last line
    }
    return out;
}

bool Offers(std::string_view extensions, std::string_view keyword) {
    for (std::string_view l : Lines(extensions)) {
        const std::string_view first = l.substr(0, l.find(' '));
        if (first == keyword) return true;
    }
    return false;
}

std::vector<std::string> AuthMechanisms(std::string_view extensions) {
    std::vector<std::string> out;
    for (std::string_view l : Lines(extensions)) {
        if (!l.starts_with("AUTH ") && !l.starts_with("AUTH=")) continue;
        std::istringstream words{std::string(l.substr(5))};
        for (std::string m; words >> m;) {
            bool seen = false;
            for (const auto& o : out) seen = seen || o == m;
            if (!seen) out.push_back(m);
        }
    }
    return out;
}

std::string SessionLogReply(std::string_view reply) {
    return platform::TrimBlanks(platform::OneLine(reply, kLogTextMax));
}

std::string SessionLogError(std::string_view text) {
    return platform::OneLine(platform::Trim(text, "\r\n"), kLogTextMax);
}

std::string Base64(std::string_view bytes) {
    std::string out;
    out.reserve((bytes.size() + 2) / 3 * 4);
    for (std::size_t i = 0; i < bytes.size(); i += 3) {
        const std::size_t n = std::min<std::size_t>(3, bytes.size() - i);
        unsigned v = static_cast<unsigned char>(bytes[i]) << 16;
        if (n > 1) v |= static_cast<unsigned char>(bytes[i + 1]) << 8;
        if (n > 2) v |= static_cast<unsigned char>(bytes[i + 2]);
        out += kAlphabet[(v >> 18) & 63];
        out += kAlphabet[(v >> 12) & 63];
        out += n > 1 ? kAlphabet[(v >> 6) & 63] : '=';
        out += n > 2 ? kAlphabet[v & 63] : '=';
    }
    return out;
}

std::string FromBase64(std::string_view text) {
    std::string out;
    unsigned v = 0;
    int bits = 0;
    for (char c : text) {
        const char* p = c ? std::char_traits<char>::find(kAlphabet, 64, c) : nullptr;
        if (!p) continue;
        v = (v << 6) | static_cast<unsigned>(p - kAlphabet);
        bits += 6;
        if (bits >= 8) {
            bits -= 8;
            out += static_cast<char>((v >> bits) & 0xff);
        }
    }
    return out;
}

}  // namespace mailout
