#include <time.h>

#include <cstdio>

#include "platform/MailStore.h"

namespace platform {

std::string FormatStoreTime(std::int64_t unixSeconds) {
    struct tm tmv {};
    time_t t = static_cast<time_t>(unixSeconds);
    // The zero date stands for "no date"; it reads the same in every zone.
    if (unixSeconds == kZeroDateUnix) {
        if (!gmtime_r(&t, &tmv)) return {};
    } else if (!localtime_r(&t, &tmv)) {
        return {};
    }
    int hour12 = tmv.tm_hour % 12;
    if (hour12 == 0) hour12 = 12;
    char buf[64];
    std::snprintf(buf, sizeof buf, "%02d/%02d/%04d %02d:%02d:%02d %s", tmv.tm_mon + 1, tmv.tm_mday,
                  tmv.tm_year + 1900, hour12, tmv.tm_min, tmv.tm_sec,
                  tmv.tm_hour < 12 ? "AM" : "PM");
    return buf;
}

}  // namespace platform
