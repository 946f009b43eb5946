// Header utilities on arbitrary text: no crash, and the invariants callers
// rely on hold whatever the input.
#include <cstddef>
#include <cstdint>
#include <string>

#include "convert/HeaderUtils.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string in(reinterpret_cast<const char*>(data), size);
    // The first byte picks a split point: the name (or key) and the text.
    std::size_t cut = size ? data[0] % 24 : 0;
    if (cut > in.size()) cut = in.size();
    const std::string name = in.substr(0, cut);
    const std::string text = in.substr(cut);

    for (const char* field : {"From: ", "Subject:", "Content-Type:", "Date:"})
        (void)convert::GetHeaderField(text, field);
    std::string value = convert::GetHeaderField(text, name);
    if (value.size() > text.size()) __builtin_trap();

    std::string before = "untouched", after;
    bool found = convert::SplitAtFirst(text, name, before, after);
    if (!found && (before != "untouched" || after != text)) __builtin_trap();
    if (found && before.size() + after.size() + 1 != text.size()) __builtin_trap();

    std::string s = text;
    std::string stripped = convert::StripEnclosing(s, '"');
    if (stripped != s || stripped.size() + 2 < text.size()) __builtin_trap();

    (void)convert::GetListValue(text, name, ";", true);
    (void)convert::GetListValue(text, name, ";", false);
    (void)convert::GetListValue(text, "2", name, true);
    (void)convert::GetListValue(text, "filename", name, false);
    std::string type, nm;
    convert::SplitContentType(text, type, nm);
    std::string file = text, ext;
    (void)convert::GetNameExtension(file, ext);
    return 0;
}
