#include "mailout/SafeText.h"

#include <algorithm>
#include <cctype>

#include "platform/Text.h"

namespace mailout {
namespace {

bool IsControl(unsigned char c) {
    return c < 0x20 || c == 0x7f;
}

// Where a cut at `limit` bytes falls without splitting a UTF-8 sequence.
std::size_t CutPoint(std::string_view text, std::size_t limit) {
    std::size_t cut = std::min(limit, text.size());
    while (cut > 0 && cut < text.size() && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80)
        --cut;
    return cut;
}

}  // namespace

std::string NormaliseLineEnds(std::string_view text) {
    std::string out;
    out.reserve(text.size() + text.size() / 32);
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (c == '\r') {
            out += "\r\n";
            if (i + 1 < text.size() && text[i + 1] == '\n') ++i;
        } else if (c == '\n') {
            out += "\r\n";
        } else {
            out += c;
        }
    }
    return out;
}

std::string DataForWire(std::string_view message) {
    // The final "." line is the program's own; everything before it is text.
    std::string_view body = message;
    if (body.ends_with("\r\n.\r\n")) body.remove_suffix(3);
    std::string out;
    out.reserve(body.size() + body.size() / 32 + 8);
    bool lineStart = true;
    for (std::size_t i = 0; i < body.size(); ++i) {
        const char c = body[i];
        if (lineStart && c == '.') out += '.';
        if (c == '\r' || c == '\n') {
            out += "\r\n";
            if (c == '\r' && i + 1 < body.size() && body[i + 1] == '\n') ++i;
            lineStart = true;
            continue;
        }
        out += c;
        lineStart = false;
    }
    if (!lineStart) out += "\r\n";
    out += ".\r\n";
    return out;
}

std::string QuotedText(std::string_view text) {
    std::string t = NormaliseLineEnds(text);
    if (t.size() <= kQuoteLimit) return t;
    // Cut after the last whole line that fits, unless that throws away more
    // than half of what may be quoted (one endless line).
    std::size_t cut = t.rfind("\r\n", kQuoteLimit - 2);
    if (cut == std::string::npos || cut < kQuoteLimit / 2) {
        cut = CutPoint(t, kQuoteLimit);
        if (cut > 0 && t[cut - 1] == '\r') --cut;  // never half a line end
    } else {
        cut += 2;
    }
    const std::size_t left = t.size() - cut;
    t.resize(cut);
    if (!t.ends_with("\r\n")) t += "\r\n";
    t += "[The quoted message is cut here, at 64 KiB: " + std::to_string(left) +
         " more bytes are not shown.]";
    return t;
}

std::string HeaderText(std::string_view text) {
    std::string out(text.substr(0, CutPoint(text, kHeaderTextLimit)));
    for (char& c : out)
        if (IsControl(static_cast<unsigned char>(c))) c = ' ';
    return out;
}

std::string AddressFault(std::string_view address) {
    if (address.empty()) return "it is empty";
    if (address.size() > 254) return "it is longer than 254 characters";
    for (char ch : address) {
        const auto c = static_cast<unsigned char>(ch);
        if (IsControl(c)) return "it holds a control character";
        if (c == ' ') return "it holds a blank";
        if (c == '<' || c == '>') return "it holds an angle bracket";
        if (c >= 0x80) return "it holds a character beyond ASCII";
    }
    const std::size_t at = address.rfind('@');
    if (at == std::string_view::npos) return "it has no @";
    const std::string_view local = address.substr(0, at), domain = address.substr(at + 1);
    if (local.find("=?") != std::string_view::npos) return "it is an encoded word, not an address";
    if (local.empty() || local.size() > 64) return "its part before the @ is empty or too long";
    // The signs of a dot-atom besides letters and digits.
    constexpr std::string_view kAtext = "!#$%&'*+-/=?^_`{|}~";
    char prev = '.';
    for (char c : local) {
        const bool ok = std::isalnum(static_cast<unsigned char>(c)) ||
                        kAtext.find(c) != std::string_view::npos || (c == '.' && prev != '.');
        if (!ok) return std::string("its part before the @ holds \"") + c + "\"";
        prev = c;
    }
    if (prev == '.') return "its part before the @ ends in a dot";
    if (domain.empty()) return "it has no domain after the @";
    std::size_t start = 0;
    while (start <= domain.size()) {
        const std::size_t dot = std::min(domain.find('.', start), domain.size());
        const std::string_view label = domain.substr(start, dot - start);
        if (label.empty() || label.size() > 63 || label.front() == '-' || label.back() == '-')
            return "its domain " + std::string(domain) + " is not a host name";
        for (char c : label)
            if (!std::isalnum(static_cast<unsigned char>(c)) && c != '-')
                return "its domain " + std::string(domain) + " is not a host name";
        start = dot + 1;
    }
    return "";
}

bool ReduceRecipient(std::string_view given, std::string& address, std::string& why) {
    for (char ch : given) {
        if (IsControl(static_cast<unsigned char>(ch))) {
            why = "it holds a control character";
            return false;
        }
    }
    const std::string g = platform::TrimBlanks(given);
    const std::size_t lt = g.find('<');
    const std::size_t gt = g.find('>');
    if (lt == std::string::npos && gt == std::string::npos) {
        address = g;
    } else {
        // One pair of brackets, closing the text: "<addr>" or "Name <addr>".
        const bool onePair = std::count(g.begin(), g.end(), '<') == 1 &&
                             std::count(g.begin(), g.end(), '>') == 1 && lt < gt &&
                             gt == g.size() - 1;
        if (!onePair) {
            why = "its angle brackets do not enclose one address at its end";
            return false;
        }
        address = platform::TrimBlanks(std::string_view(g).substr(lt + 1, gt - lt - 1));
    }
    why = AddressFault(address);
    return why.empty();
}

}  // namespace mailout
