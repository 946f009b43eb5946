#include <cmath>
#include <cstdlib>
#include <limits>

#include "config/NodeConfig.h"
#include "config/ProfileKeys.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace config {
namespace {

// The legacy Trim removes blanks only, not TABs or line ends.
std::string TrimSpaces(std::string_view s) {
    return platform::Trim(s, " ");
}

}  // namespace

bool ToInt32(std::string_view text, std::int32_t& out) {
    const std::string s = platform::Trim(text, " \t");
    if (s.empty()) return false;
    // Digits with an optional sign and fraction; nothing else (no hex, no inf).
    std::size_t i = 0;
    if (s[i] == '+' || s[i] == '-') ++i;
    bool digits = false, dot = false;
    for (; i < s.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(s[i]))) {
            digits = true;
        } else if (s[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    double v = std::strtod(s.c_str(), nullptr);
    double r = std::nearbyint(v);  // the default rounding mode: half to even
    if (r < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        r > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return false;
    out = static_cast<std::int32_t>(r);
    return true;
}

std::string ReadKey(const platform::ProfileStore& profile, std::string_view key,
                    std::string_view def) {
    std::string gRetBuf;
    int n = profile.GetProfileStringA(kSection, key, def, gRetBuf, 255);
    return gRetBuf.substr(0, static_cast<std::size_t>(n < 0 ? 0 : n));
}

std::int16_t ArrayLoad(int startIndex, std::vector<std::string>& list, std::string text,
                       char delimiter, bool grow) {
    if (grow && startIndex % 10 == 0) list.assign(static_cast<std::size_t>(startIndex) + 11, "");
    if (text.empty()) return 0;
    if (text.back() != delimiter) text += delimiter;
    std::size_t pos = 0;  // 1-based position of the last delimiter, 0 at start
    int index = startIndex;
    for (;;) {
        if (grow && index % 10 == 0 && list.size() < static_cast<std::size_t>(index) + 11)
            list.resize(static_cast<std::size_t>(index) + 11);
        std::size_t found = text.find(delimiter, pos);  // search from position pos + 1
        if (found == std::string::npos) break;
        std::string entry = text.substr(pos, found - pos);
        if (index >= 0 && static_cast<std::size_t>(index) < list.size())
            list[static_cast<std::size_t>(index)] = entry;
        if (index >= std::numeric_limits<std::int16_t>::max()) break;  // 16-bit count
        ++index;
        pos = found + 1;
    }
    return static_cast<std::int16_t>(index);
}

namespace {

// One row of the key table into its setting. A conversion that fails leaves
// the setting as it was.
void ReadNodeKey(NodeConfig& c, const ProfileKey& k, const std::string& raw) {
    std::int32_t v = 0;
    switch (k.read) {
        case KeyRead::Text:
            c.*k.text = raw;
            break;
        case KeyRead::TextIfSet:
            if (!raw.empty()) c.*k.text = raw;
            break;
        case KeyRead::Trimmed:
            c.*k.text = TrimSpaces(raw);
            break;
        case KeyRead::Number:
            if (ToInt32(raw, v)) c.*k.number = v;
            break;
        case KeyRead::Seconds:
            // Seconds to milliseconds; an overflow or a non-number leaves the
            // value, and a zero interval falls back to 30 s.
            if (ToInt32(raw, v) && std::abs(static_cast<std::int64_t>(v) * 1000) <=
                                       std::numeric_limits<std::int32_t>::max())
                c.*k.number = v * 1000;
            if (c.*k.number == 0) c.*k.number = 30000;
            break;
        case KeyRead::NumberUp:
            if (ToInt32(raw, v) && v < std::numeric_limits<std::int32_t>::max())
                c.*k.number = v + 1;
            break;
        case KeyRead::FlagLower:
            if (platform::Lower(raw) == "y") c.*k.flag = true;
            break;
        case KeyRead::FlagTrim:
            if (TrimSpaces(raw) == "y") c.*k.flag = true;
            break;
        case KeyRead::FileTypes:
            c.gPrintFileTypeCount = ArrayLoad(0, c.*k.list, raw, ',', true);
            break;
        case KeyRead::Forward:
            ArrayLoad(1, c.*k.list, TrimSpaces(raw), ',', false);
            break;
        case KeyRead::Status:
            break;
    }
}

}  // namespace

void getfaxpierinfo(NodeConfig& c, const platform::ProfileStore& p) {
    for (const ProfileKey& k : NodeKeys()) ReadNodeKey(c, k, ReadKey(p, k.name, k.def));
}

}  // namespace config
