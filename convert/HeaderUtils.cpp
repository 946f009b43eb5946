#include "convert/HeaderUtils.h"

#include <cctype>
#include <cstdlib>

#include "platform/EventLoop.h"

namespace convert {

std::string Trim(std::string_view s) {
    std::size_t b = s.find_first_not_of(' ');
    if (b == std::string_view::npos) return {};
    std::size_t e = s.find_last_not_of(' ');
    return std::string(s.substr(b, e - b + 1));
}

std::string UpperCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::toupper(static_cast<unsigned char>(c)));
    return out;
}

std::string LowerCase(std::string_view s) {
    std::string out(s);
    for (char& c : out) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    return out;
}

std::size_t IFind(std::string_view hay, std::string_view needle, std::size_t from) {
    if (needle.empty()) return from <= hay.size() ? from : std::string_view::npos;
    if (needle.size() > hay.size()) return std::string_view::npos;
    const unsigned char first =
        static_cast<unsigned char>(std::tolower(static_cast<unsigned char>(needle[0])));
    for (std::size_t i = from; i + needle.size() <= hay.size(); ++i) {
        if (std::tolower(static_cast<unsigned char>(hay[i])) != first) continue;
        std::size_t k = 1;
        while (k < needle.size() && std::tolower(static_cast<unsigned char>(hay[i + k])) ==
                                        std::tolower(static_cast<unsigned char>(needle[k])))
            ++k;
        if (k == needle.size()) return i;
    }
    return std::string_view::npos;
}

bool IContains(std::string_view hay, std::string_view needle) {
    return IFind(hay, needle) != std::string_view::npos;
}

std::string GetHeaderField(std::string_view text, std::string_view name) {
    if (name.empty()) return {};
    std::size_t at = std::string_view::npos;
    for (std::size_t from = 0;;) {
        std::size_t p = IFind(text, name, from);
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
        std::size_t d = IFind(text, delimiter, pos);
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
        std::string k = Trim(key);
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
    const std::string wanted = UpperCase(key);
    while (nextItem(pos, item)) {
        if (loop) loop->Yield();
        if (item.empty()) return {};
        std::string before, after;
        if (!SplitAtFirst(item, "=", before, after)) continue;
        if (UpperCase(Trim(before)) == wanted) return after;
    }
    return {};
}

void SplitContentType(std::string_view value, std::string& type, std::string& name) {
    type = Trim(GetListValue(value, "1", ";", true));
    name = Trim(GetListValue(value, "name", ";", false));
}

bool GetNameExtension(std::string& fileName, std::string& ext) {
    StripEnclosing(fileName, '"');
    std::string before, after;
    if (!SplitAtFirst(fileName, ".", before, after)) return false;
    ext = after;
    return true;
}

}  // namespace convert
