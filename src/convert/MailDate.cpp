#include "convert/MailDate.h"

#include <gmime/gmime-utils.h>

#include <algorithm>
#include <chrono>
#include <ctime>
#include <optional>
#include <string>
#include <vector>

#include "platform/Text.h"

namespace convert {
namespace {

struct TimeOfDay {
    int hour = 0, minute = 0, second = 0;
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

bool IsMonth(std::string_view s) {
    static const char* kMonths[] = {"JAN", "FEB", "MAR", "APR", "MAY", "JUN",
                                    "JUL", "AUG", "SEP", "OCT", "NOV", "DEC"};
    if (s.size() < 3) return false;
    const std::string u = platform::Upper(s.substr(0, 3));
    for (const char* m : kMonths)
        if (u == m) return true;
    return false;
}

bool IsWeekday(std::string_view s) {
    static const char* kDays[] = {"MON", "TUE", "WED", "THU", "FRI", "SAT", "SUN"};
    if (s.size() < 3 || s.size() > 9) return false;
    const std::string u = platform::Upper(s);
    for (const char* d : kDays)
        if (u.compare(0, 3, d) == 0) return true;
    return false;
}

// Minutes east of UTC.
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

bool IsMeridiem(std::string_view s, bool* pm) {
    const std::string u = platform::Upper(s);
    *pm = u == "PM";
    return u == "AM" || u == "PM";
}

// A 12-hour clock hour to the 24-hour one; false when there is no such hour.
bool ApplyMeridiem(TimeOfDay& t, bool pm) {
    if (t.hour < 1 || t.hour > 12) return false;
    t.hour = t.hour % 12 + (pm ? 12 : 0);
    return true;
}

// "hh:mm[:ss]".
bool ParseTime(std::string_view s, TimeOfDay& t) {
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
    t.hour = ToInt(f[0]);
    t.minute = ToInt(f[1]);
    t.second = f.size() == 3 ? ToInt(f[2]) : 0;
    return t.hour <= 23 && t.minute <= 59 && t.second <= 60;
}

std::vector<std::string> Tokens(std::string_view text) {
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

// The civil date and time as seconds since the epoch, read in UTC; nothing
// for a day that does not exist.
std::optional<std::int64_t> UtcSeconds(int year, int month, int day, const TimeOfDay& t) {
    using namespace std::chrono;
    if (year < 1 || year > 9999 || month < 1 || month > 12 || day < 1) return std::nullopt;
    const year_month_day date{std::chrono::year{year}, std::chrono::month{unsigned(month)},
                              std::chrono::day{unsigned(day)}};
    if (!date.ok()) return std::nullopt;
    const sys_seconds at = sys_days{date} + hours{t.hour} + minutes{t.minute} + seconds{t.second};
    return at.time_since_epoch().count();
}

// The same civil date and time read as the local time of this machine; the
// UTC reading when the C library cannot place it.
std::int64_t LocalSeconds(int year, int month, int day, const TimeOfDay& t, std::int64_t utc) {
    std::tm tm{};
    tm.tm_year = year - 1900;
    tm.tm_mon = month - 1;
    tm.tm_mday = day;
    tm.tm_hour = t.hour;
    tm.tm_min = t.minute;
    tm.tm_sec = t.second;
    tm.tm_isdst = -1;
    const std::time_t local = std::mktime(&tm);
    return local == static_cast<std::time_t>(-1) ? utc : static_cast<std::int64_t>(local);
}

std::int64_t Resolve(int year, int month, int day, const TimeOfDay& t, std::optional<int> zone) {
    const std::optional<std::int64_t> utc = UtcSeconds(year, month, day, t);
    if (!utc) return kZeroDate;
    if (zone) return *utc - static_cast<std::int64_t>(*zone) * 60;
    return LocalSeconds(year, month, day, t, *utc);
}

// "MM/DD/YYYY" or "YYYY-MM-DD", then t[i...]: "[hh:mm[:ss] [AM|PM]] [zone]".
std::int64_t NumericDate(int year, int month, int day, const std::vector<std::string>& t,
                         std::size_t i) {
    TimeOfDay time;
    if (i < t.size() && t[i].find(':') != std::string::npos) {
        if (!ParseTime(t[i++], time)) return kZeroDate;
        bool pm;
        if (i < t.size() && IsMeridiem(t[i], &pm)) {
            if (!ApplyMeridiem(time, pm)) return kZeroDate;
            ++i;
        }
    }
    std::optional<int> zone;
    if (i < t.size() && !(zone = ZoneOffset(t[i++]))) return kZeroDate;
    if (i != t.size()) return kZeroDate;
    return Resolve(year, month, day, time, zone);
}

// Mail dates, "[Wdy,] D Mon YYYY hh:mm[:ss] zone" and the looser forms that
// mailers write, with a month name, are read by GMime for the date and the
// time as written. The zone is taken here: GMime reads a missing or unknown
// one as UTC, where a date without a zone is local time, and a malformed
// numeric one is no date.
std::int64_t TextDate(const std::vector<std::string>& t, std::size_t first) {
    // GMime makes a date of bare numbers too; a mail date names its month.
    if (std::none_of(t.begin(), t.end(), [](const std::string& w) { return IsMonth(w); }))
        return kZeroDate;
    std::optional<int> zone;
    std::optional<bool> meridiem;
    for (std::size_t k = 0; k < t.size(); ++k) {
        if (std::optional<int> z = ZoneOffset(t[k])) {
            zone = z;
        } else if (t[k][0] == '+' || t[k][0] == '-') {
            return kZeroDate;
        }
        bool pm;
        if (k > 0 && t[k - 1].find(':') != std::string::npos && IsMeridiem(t[k], &pm))
            meridiem = pm;
    }
    // The words joined by single blanks: GMime takes a comma or blank that
    // starts a word as part of it. A date alone is midnight, and GMime needs
    // the time written to read it strictly (its looser reading knows month
    // names only in the usual case): "00:00" goes in behind "D Mon YYYY".
    std::vector<std::string> words = t;
    const bool timed = std::any_of(t.begin(), t.end(), [](const std::string& w) {
        return w.find(':') != w.npos && w.find_first_not_of("0123456789:") == w.npos;
    });
    if (!timed) words.insert(words.begin() + std::min(words.size(), first + 3), "00:00");
    std::string joined;
    for (const std::string& w : words) joined += (joined.empty() ? "" : " ") + w;
    // The fields come back as written, in whatever zone GMime made of the text.
    GDateTime* parsed = g_mime_utils_header_decode_date(joined.c_str());
    if (!parsed) return kZeroDate;
    int year = 0, month = 0, day = 0;
    g_date_time_get_ymd(parsed, &year, &month, &day);
    TimeOfDay time{g_date_time_get_hour(parsed), g_date_time_get_minute(parsed),
                   g_date_time_get_second(parsed)};
    g_date_time_unref(parsed);
    if (meridiem && !ApplyMeridiem(time, *meridiem)) return kZeroDate;
    return Resolve(year, month, day, time, zone);
}

}  // namespace

std::int64_t ParseMailDate(std::string_view text) {
    // A trailing comment "(...)" carries nothing we need.
    text = text.substr(0, text.find('('));
    // A date with a NUL in it is not one (and GMime would read only its start).
    if (text.find('\0') != std::string_view::npos) return kZeroDate;
    const std::vector<std::string> t = Tokens(text);
    std::size_t i = 0;
    if (i < t.size() && IsWeekday(t[i])) ++i;
    if (i >= t.size()) return kZeroDate;
    std::string_view f[3];
    if (ThreeNumbers(t[i], '/', f)) {
        // Two-digit years below 50 are 20xx, others 19xx.
        int year = ToInt(f[2]);
        if (f[2].size() <= 2) year += year < 50 ? 2000 : 1900;
        return NumericDate(year, ToInt(f[0]), ToInt(f[1]), t, i + 1);
    }
    if (ThreeNumbers(t[i], '-', f) && f[0].size() == 4)
        return NumericDate(ToInt(f[0]), ToInt(f[1]), ToInt(f[2]), t, i + 1);
    return TextDate(t, i);
}

}  // namespace convert
