#pragma once
// Small text functions that pick values out of mail headers and
// ";"-separated parameter lists. Their edge behaviour is relied on by
// callers: read the comments before "fixing" anything.
#include <string>
#include <string_view>

namespace platform {
class EventLoop;
}

namespace convert {

// Value of the header field `name` (colon included, and a blank where the
// caller gives one): the first case-blind occurrence that begins a line or
// follows a TAB; trimmed of leading blanks; one TAB-continuation line joined.
// "" when absent or when its line has no CR.
std::string GetHeaderField(std::string_view text, std::string_view name);

// Returns true and the text before the first delimiter in `before`; `after`
// gets everything behind the delimiter's first character. Without the
// delimiter: `after` = the whole text, `before` is left untouched, false.
bool SplitAtFirst(std::string_view text, std::string_view delimiter, std::string& before,
                  std::string& after);

// Drops c from the end, then from the start (at most once each); updates the
// argument and returns it.
std::string StripEnclosing(std::string& text, char c);

// One item of a delimited list (by 1-based position given as text), or the
// value of the first "key=value" item (by key: stops at an empty item).
// Yields to the loop once per item examined by key when a loop is given.
std::string GetListValue(std::string_view text, std::string_view key, std::string_view delimiter,
                         bool byPosition, platform::EventLoop* loop = nullptr);

// Type (item 1, trimmed) and the value of its name parameter (trimmed,
// quotes kept) of a Content-Type value.
void SplitContentType(std::string_view value, std::string& type, std::string& name);

// Strips enclosing double quotes from fileName (the caller's variable too)
// and sets ext to everything behind its first "."; false (ext untouched)
// when the name has no dot.
bool GetNameExtension(std::string& fileName, std::string& ext);

}  // namespace convert
