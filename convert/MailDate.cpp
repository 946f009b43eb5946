#include "convert/MailDate.h"

#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "convert/HeaderUtils.h"
#include "platform/Text.h"

namespace convert {
namespace {

struct Parts {
    int year = -1, month = 0, day = 0, hour = 0, minute = 0, second = 0;
    std::optional<int> zoneMinutes;  // east of UTC
};

bool AllDigits(std::string_view s) {
    if (s.empty() || s.size() > 9) return false;
    for (char c : s)
        if (c < '0' || c > '9') return false;
    return true;
}

int ToInt(std::string_view s) {
    int v = 0;
    for (char c : s) v = v * 10 + (c - '0');
    return v;
}

int MonthNumber(std::string_view s) {
    static const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (s.size() < 3) return 0;
    const std::string u = platform::Upper(s);
    for (int i = 0; i < 12; ++i)
        if (u.compare(0, 3, kMonths[i]) == 0 && u.size() <= 9) return i + 1;
    return 0;
}

bool IsWeekday(std::string_view s) {
    static const char* kDays[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
    if (s.size() < 3 || s.size() > 9) return false;
    const std::string u = platform::Upper(s);
    for (const char* d : kDays)
        if (u.compare(0, 3, d) == 0) return true;
    return false;
}

std::optional<int> ZoneOffset(std::string_view s) {
    if ((s.size() == 5) && (s[0] == '+' || s[0] == '-') && AllDigits(s.substr(1))) {
        int hh = ToInt(s.substr(1, 2)), mm = ToInt(s.substr(3, 2));
        if (hh > 23 || mm > 59) return std::nullopt;
        int m = hh * 60 + mm;
        return s[0] == '-' ? -m : m;
    }
    const std::string u = platform::Upper(s);
    if (u == "UT" || u == "UTC" || u == "GMT" || u == "Z") return 0;
    if (u == "EST") return -5 * 60;
    if (u == "EDT") return -4 * 60;
    if (u == "CST") return -6 * 60;
    if (u == "CDT") return -5 * 60;
    if (u == "MST") return -7 * 60;
    if (u == "MDT") return -6 * 60;
    if (u == "PST") return -8 * 60;
    if (u == "PDT") return -7 * 60;
    return std::nullopt;
}

// "hh:mm[:ss]".
bool ParseTime(std::string_view s, Parts& p) {
    std::vector<std::string_view> f;
    std::size_t start = 0;
    for (std::size_t i = 0; i <= s.size(); ++i)
        if (i == s.size() || s[i] == ':') {
            f.push_back(s.substr(start, i - start));
            start = i + 1;
        }
    if (f.size() < 2 || f.size() > 3) return false;
    for (auto x : f)
        if (!AllDigits(x) || x.size() > 2) return false;
    p.hour = ToInt(f[0]);
    p.minute = ToInt(f[1]);
    p.second = f.size() == 3 ? ToInt(f[2]) : 0;
    return p.hour <= 23 && p.minute <= 59 && p.second <= 60;
}

int FullYear(std::string_view s) {
    int y = ToInt(s);
    if (s.size() <= 2) y += y < 50 ? 2000 : 1900;
    return y;
}

std::vector<std::string> Tokens(std::string_view text) {
    // A trailing comment "(...)" carries nothing we need.
    std::size_t paren = text.find('(');
    if (paren != std::string_view::npos) text = text.substr(0, paren);
    std::vector<std::string> out;
    std::string cur;
    for (char c : text) {
        if (c == ' ' || c == '\t' || c == ',' || c == '\r' || c == '\n') {
            if (!cur.empty()) out.push_back(cur);
            cur.clear();
        } else {
            cur.push_back(c);
        }
    }
    if (!cur.empty()) out.push_back(cur);
    return out;
}

// Splits "a<sep>b<sep>c" into exactly three digit fields.
bool ThreeNumbers(std::string_view s, char sep, std::string_view out[3]) {
    std::size_t a = s.find(sep);
    if (a == std::string_view::npos) return false;
    std::size_t b = s.find(sep, a + 1);
    if (b == std::string_view::npos || s.find(sep, b + 1) != std::string_view::npos) return false;
    out[0] = s.substr(0, a);
    out[1] = s.substr(a + 1, b - a - 1);
    out[2] = s.substr(b + 1);
    return AllDigits(out[0]) && AllDigits(out[1]) && AllDigits(out[2]);
}

bool ParseParts(std::string_view text, Parts& p) {
    std::vector<std::string> t = Tokens(text);
    std::size_t i = 0;
    if (i < t.size() && IsWeekday(t[i]) && !MonthNumber(t[i])) ++i;
    if (i >= t.size()) return false;
    std::string_view f[3];
    if (ThreeNumbers(t[i], '/', f)) {  // MM/DD/YYYY
        p.month = ToInt(f[0]);
        p.day = ToInt(f[1]);
        p.year = FullYear(f[2]);
        ++i;
    } else if (ThreeNumbers(t[i], '-', f) && f[0].size() == 4) {  // YYYY-MM-DD
        p.year = ToInt(f[0]);
        p.month = ToInt(f[1]);
        p.day = ToInt(f[2]);
        ++i;
    } else {  // D Mon YYYY
        if (i + 2 >= t.size()) return false;
        if (!AllDigits(t[i]) || t[i].size() > 2) return false;
        p.day = ToInt(t[i]);
        p.month = MonthNumber(t[i + 1]);
        if (!p.month || !AllDigits(t[i + 2]) || t[i + 2].size() > 4) return false;
        p.year = FullYear(t[i + 2]);
        i += 3;
    }
    if (i < t.size() && t[i].find(':') != std::string::npos) {
        if (!ParseTime(t[i], p)) return false;
        ++i;
        if (i < t.size()) {
            const std::string u = platform::Upper(t[i]);
            if (u == "AM" || u == "PM") {
                if (p.hour < 1 || p.hour > 12) return false;
                if (u == "AM" && p.hour == 12) p.hour = 0;
                if (u == "PM" && p.hour != 12) p.hour += 12;
                ++i;
            }
        }
    }
    if (i < t.size()) {
        p.zoneMinutes = ZoneOffset(t[i]);
        if (!p.zoneMinutes) return false;
        ++i;
    }
    if (i != t.size()) return false;
    if (p.month < 1 || p.month > 12 || p.day < 1 || p.year < 1 || p.year > 9999) return false;
    static const int kDays[] = {31, 29, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
    if (p.day > kDays[p.month - 1]) return false;
    const bool leap = (p.year % 4 == 0 && p.year % 100 != 0) || p.year % 400 == 0;
    return !(p.month == 2 && p.day == 29 && !leap);
}

// Days from 1970-01-01 to the given civil date (proleptic Gregorian).
std::int64_t DaysFromCivil(std::int64_t y, unsigned m, unsigned d) {
    y -= m <= 2;
    const std::int64_t era = (y >= 0 ? y : y - 399) / 400;
    const unsigned yoe = static_cast<unsigned>(y - era * 400);
    const unsigned doy = (153 * (m + (m > 2 ? -3 : 9)) + 2) / 5 + d - 1;
    const unsigned doe = yoe * 365 + yoe / 4 - yoe / 100 + doy;
    return era * 146097 + static_cast<std::int64_t>(doe) - 719468;
}

}  // namespace

std::int64_t ParseMailDate(std::string_view text) {
    Parts p;
    if (!ParseParts(text, p)) return kZeroDate;
    const std::int64_t civil =
        DaysFromCivil(p.year, static_cast<unsigned>(p.month), static_cast<unsigned>(p.day)) *
            86400 +
        p.hour * 3600 + p.minute * 60 + p.second;
    if (p.zoneMinutes) return civil - static_cast<std::int64_t>(*p.zoneMinutes) * 60;
    // No zone: the time is the local time of this machine.
    std::tm tm{};
    tm.tm_year = p.year - 1900;
    tm.tm_mon = p.month - 1;
    tm.tm_mday = p.day;
    tm.tm_hour = p.hour;
    tm.tm_min = p.minute;
    tm.tm_sec = p.second;
    tm.tm_isdst = -1;
    const std::time_t t = std::mktime(&tm);
    return t == static_cast<std::time_t>(-1) ? civil : static_cast<std::int64_t>(t);
}

}  // namespace convert
