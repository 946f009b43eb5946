#include "pop/PopReply.h"

#include <algorithm>
#include <limits>
#include <optional>
#include <string>

#include "platform/Text.h"

namespace pop {
namespace {

std::string_view TrimBlanks(std::string_view s) {
    while (!s.empty() && s.front() == ' ') s.remove_prefix(1);
    while (!s.empty() && s.back() == ' ') s.remove_suffix(1);
    return s;
}

// A whole text as a 32-bit number (blanks around allowed), or nothing.
std::optional<std::int32_t> WholeNumber(std::string_view s) {
    s = TrimBlanks(s);
    bool negative = false;
    if (!s.empty() && (s.front() == '+' || s.front() == '-')) {
        negative = s.front() == '-';
        s.remove_prefix(1);
    }
    if (s.empty() || s.size() > 10) return std::nullopt;
    std::int64_t v = 0;
    for (char c : s) {
        if (c < '0' || c > '9') return std::nullopt;
        v = v * 10 + (c - '0');
    }
    if (negative) v = -v;
    if (v < std::numeric_limits<std::int32_t>::min() ||
        v > std::numeric_limits<std::int32_t>::max())
        return std::nullopt;
    return static_cast<std::int32_t>(v);
}

}  // namespace

ReplyKind ReplyCode(std::string_view portIn) {
    if (portIn.starts_with("+OK")) {
        if (portIn.size() == 3) return ReplyKind::Positive;
        const char c = portIn[3];
        if (c == ' ' || c == '\t' || c == '\r' || c == '\n') return ReplyKind::Positive;
        return ReplyKind::Neither;
    }
    if (portIn.starts_with("-ERR")) return ReplyKind::Negative;
    return ReplyKind::Neither;
}

void ParseStatReply(std::string_view portIn, std::int32_t& count, std::int32_t& size) {
    std::string s(portIn);
    for (char& c : s)
        if (c == '\t' || c == '\r' || c == '\n' || c == ':') c = ' ';
    std::string_view rest = TrimBlanks(s);
    rest.remove_prefix(std::min<std::size_t>(4, rest.size()));
    const std::size_t blank = rest.find(' ');
    std::string_view sizePart = rest;
    if (blank != std::string_view::npos) {
        if (auto n = WholeNumber(rest.substr(0, blank))) count = *n;
        sizePart = rest.substr(blank + 1);
    }
    if (auto n = WholeNumber(sizePart)) size = *n;
}

std::int64_t LeadingNumber(std::string_view text) {
    std::size_t i = 0;
    while (i < text.size() && (text[i] == ' ' || text[i] == '\t')) ++i;
    bool negative = false;
    if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
    std::int64_t v = 0;
    for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
        if (v > std::numeric_limits<std::int64_t>::max() / 10 - 10)
            break;  // absurd sizes stay large
        v = v * 10 + (text[i] - '0');
    }
    return negative ? -v : v;
}

bool ParseRetrHead(std::string_view collected, RetrHead& head) {
    if (ReplyCode(collected) != ReplyKind::Positive) return false;
    const std::size_t crlf = collected.find("\r\n");
    if (crlf == std::string_view::npos) return false;
    head.announced =
        crlf > 4 ? std::max<std::int64_t>(0, LeadingNumber(collected.substr(4, crlf - 4))) : 0;
    head.lineEnd = crlf + 2;
    return true;
}

std::string ReportLine(std::string_view reply, std::size_t max) {
    return platform::OneLine(reply.substr(0, reply.find_first_of("\r\n")), max);
}

void AnswerEnd::EndHead() {
    state_ = ReplyCode(head_) == ReplyKind::Positive ? LineStart : Done;
}

std::size_t AnswerEnd::Feed(std::string_view piece) {
    std::size_t i = 0;
    while (i < piece.size() && state_ != Done) {
        const char c = piece[i];
        switch (state_) {
            case Head: {
                const std::size_t lf = piece.find('\n', i);
                const std::size_t want = (lf == std::string_view::npos ? piece.size() : lf + 1) - i;
                const std::size_t take = std::min(want, kMaxHead - head_.size());
                head_.append(piece.substr(i, take));
                i += take;
                if ((lf != std::string_view::npos && take == want) || head_.size() >= kMaxHead)
                    EndHead();
                continue;
            }
            case InLine: {
                // Most bytes are inside lines: jump to the next CR.
                const std::size_t cr = piece.find('\r', i);
                if (cr == std::string_view::npos) return piece.size();
                i = cr + 1;
                state_ = InLineCr;
                continue;
            }
            case InLineCr:
                state_ = c == '\n' ? LineStart : c == '\r' ? InLineCr : InLine;
                break;
            case LineStart:
                state_ = c == '.' ? Dot : c == '\r' ? InLineCr : InLine;
                break;
            case Dot:
                state_ = c == '\r' ? DotCr : InLine;
                break;
            case DotCr:
                state_ = c == '\n' ? Done : c == '\r' ? InLineCr : InLine;
                break;
            case Done:
                break;
        }
        ++i;
    }
    return i;
}

std::vector<std::string> ScanListing(std::string_view answer, std::size_t slots) {
    std::vector<std::string> out(slots);
    if (ReplyCode(answer) != ReplyKind::Positive) return out;
    std::size_t at = answer.find("\r\n");
    while (at != std::string_view::npos) {
        at += 2;
        const std::size_t end = answer.find("\r\n", at);
        if (end == std::string_view::npos) break;
        std::string_view line = answer.substr(at, end - at);
        at = end;
        if (line == ".") break;
        std::size_t i = 0;
        std::int64_t n = 0;
        while (i < line.size() && line[i] >= '0' && line[i] <= '9' && n < 1000000)
            n = n * 10 + (line[i++] - '0');
        if (i == 0 || i >= line.size() || line[i] != ' ') continue;
        line.remove_prefix(i + 1);
        std::size_t word = 0;
        while (word < line.size() && static_cast<unsigned char>(line[word]) > ' ') ++word;
        line = line.substr(0, word);
        if (n >= 1 && static_cast<std::size_t>(n) < slots) out[static_cast<std::size_t>(n)] = line;
    }
    return out;
}

bool UsableUid(std::string_view uid) {
    if (uid.empty() || uid.size() > 70) return false;
    for (char c : uid)
        if (c < 0x21 || c > 0x7e) return false;
    return true;
}

}  // namespace pop
