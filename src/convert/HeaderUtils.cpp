#include "convert/HeaderUtils.h"

#include <cctype>
#include <cstdlib>

#include "platform/EventLoop.h"
#include "platform/Text.h"

namespace convert {

std::string GetHeaderField(std::string_view text, std::string_view name) {
    if (name.empty()) return {};
    std::size_t at = std::string_view::npos;
    for (std::size_t from = 0;;) {
        std::size_t p = platform::FindNoCase(text, name, from);
        if (p == std::string_view::npos) return {};
        if (p == 0 || text[p - 1] == '\r' || text[p - 1] == '\n' || text[p - 1] == '\t') {
            at = p;
            break;
        }
        from = p + 1;
    }
    std::string_view rest = text.substr(at + name.size());
    std::size_t lead = rest.find_first_not_of(' ');
    rest = lead == std::string_view::npos ? std::string_view() : rest.substr(lead);
    // Trailing blanks of the rest are dropped too, but they only matter when
    // the rest has no CR, and then the result is "" anyway.
    std::size_t cr = rest.find('\r');
    if (cr == std::string_view::npos) return {};
    std::string value(rest.substr(0, cr));
    if (cr + 2 < rest.size() && rest[cr + 2] == '\t') {
        std::size_t nextStart = cr + 2;  // behind the first CR's LF
        std::size_t crlf = rest.find("\r\n", nextStart);
        if (crlf != std::string_view::npos)
            value += std::string(rest.substr(nextStart + 1, crlf - nextStart - 1));
    }
    return value;
}

bool SplitAtFirst(std::string_view text, std::string_view delimiter, std::string& before,
                  std::string& after) {
    std::size_t p = delimiter.empty() ? std::string_view::npos : text.find(delimiter);
    if (p == std::string_view::npos) {
        after = std::string(text);
        return false;
    }
    after = std::string(text.substr(p + 1));
    before = std::string(text.substr(0, p));
    return true;
}

std::string StripEnclosing(std::string& text, char c) {
    if (!text.empty() && text.back() == c) text.pop_back();
    if (!text.empty() && text.front() == c) text.erase(text.begin());
    return text;
}

std::string GetListValue(std::string_view text, std::string_view key, std::string_view delimiter,
                         bool byPosition, platform::EventLoop* loop) {
    if (delimiter.empty()) return {};
    // Split at every case-blind occurrence of the delimiter.
    auto nextItem = [&](std::size_t& pos, std::string_view& item) -> bool {
        if (pos == std::string_view::npos) return false;
        std::size_t d = platform::FindNoCase(text, delimiter, pos);
        if (d == std::string_view::npos) {
            item = text.substr(pos);
            pos = std::string_view::npos;
        } else {
            item = text.substr(pos, d - pos);
            pos = d + delimiter.size();
        }
        return true;
    };
    std::size_t pos = 0;
    std::string_view item;
    if (byPosition) {
        long n = 1;
        std::string k = platform::TrimBlanks(key);
        if (!k.empty()) {
            char* end = nullptr;
            long v = std::strtol(k.c_str(), &end, 10);
            if (end && *end == '\0') n = v;
        }
        if (n < 1) return {};
        for (long i = 1; nextItem(pos, item); ++i)
            if (i == n) return std::string(item);
        return {};
    }
    const std::string wanted = platform::Upper(key);
    while (nextItem(pos, item)) {
        if (loop) loop->Yield();
        if (item.empty()) return {};
        std::string before, after;
        if (!SplitAtFirst(item, "=", before, after)) continue;
        if (platform::Upper(platform::TrimBlanks(before)) == wanted) return after;
    }
    return {};
}

void SplitContentType(std::string_view value, std::string& type, std::string& name) {
    type = platform::TrimBlanks(GetListValue(value, "1", ";", true));
    name = platform::TrimBlanks(GetListValue(value, "name", ";", false));
}

bool GetNameExtension(std::string& fileName, std::string& ext) {
    StripEnclosing(fileName, '"');
    std::string before, after;
    if (!SplitAtFirst(fileName, ".", before, after)) return false;
    ext = after;
    return true;
}

}  // namespace convert
