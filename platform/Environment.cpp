#include "platform/Environment.h"

#include <cstdlib>
#include <optional>

#include "platform/Files.h"
#include "platform/Profile.h"

namespace platform {
namespace {

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::string Home() {
    std::string h = Env("HOME");
    return h.empty() ? std::string("/tmp") : h;
}

std::optional<long> ParseLong(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    long v = std::strtol(s.c_str(), &end, 10);
    if (!end || *end != '\0') return std::nullopt;
    return v;
}

bool YesValue(const std::string& v) {
    return v == "yes" || v == "Yes" || v == "YES" || v == "y" || v == "1" || v == "true" ||
           v == "on";
}

}  // namespace

std::string ExpandHome(const std::string& path) {
    if (path == "~") return Home();
    if (path.rfind("~/", 0) == 0) return Home() + path.substr(1);
    return path;
}

Environment Environment::FromProcess() {
    Environment e;
    e.programFolder = Env("VOXAFAX_HOME");
    if (e.programFolder.empty()) {
        std::string data = Env("XDG_DATA_HOME");
        e.programFolder = (data.empty() ? Home() + "/.local/share" : data) + "/voxafax";
    }
    while (e.programFolder.size() > 1 && e.programFolder.back() == '/') e.programFolder.pop_back();
    e.profilePath = Env("VOXAFAX_PROFILE");
    if (e.profilePath.empty()) {
        std::string cfg = Env("XDG_CONFIG_HOME");
        e.profilePath = (cfg.empty() ? Home() + "/.config" : cfg) + "/voxafax/voxafax.ini";
    }
    auto slash = e.profilePath.rfind('/');
    e.configDir =
        slash == std::string::npos ? "." : (slash == 0 ? "/" : e.profilePath.substr(0, slash));
    if (auto t = ParseLong(Env("VOXAFAX_TICK_MS")); t && *t > 0) e.tick = Millis(*t);
    e.verbose = !Env("VOXAFAX_VERBOSE").empty();
    return e;
}

Options Options::Load(const Environment& env) {
    Options o;
    std::string text = ReadWholeFile(env.OptionsIni()).value_or("");
    auto get = [&](const char* sec, const char* key) -> std::optional<std::string> {
        auto v = ini::Lookup(text, sec, key);
        if (!v) return std::nullopt;
        return ini::StripComment(*v);
    };
    if (auto v = get("print", "text_pages")) o.textPages = YesValue(*v);
    if (auto v = get("pop3", "host")) o.popHost = *v;
    if (auto v = get("pop3", "tls")) o.popTls = YesValue(*v);
    if (auto v = get("smtp", "tls")) o.smtpTls = YesValue(*v);
    o.popPort = o.popTls ? 995 : 110;
    o.smtpPort = o.smtpTls ? 465 : 25;
    if (auto v = get("pop3", "port"); v && ParseLong(*v))
        o.popPort = static_cast<int>(*ParseLong(*v));
    if (auto v = get("smtp", "port"); v && ParseLong(*v))
        o.smtpPort = static_cast<int>(*ParseLong(*v));
    // Counts, sizes and times: a value that is no whole number in range
    // keeps the default.
    auto count = [&](const char* sec, const char* key, int& out, long min, long max) {
        if (auto v = get(sec, key)) {
            if (auto n = ParseLong(*v); n && *n >= min && *n <= max) out = static_cast<int>(*n);
        }
    };
    count("smtp", "receipt_max_runs", o.receiptMaxRuns, 1, 1000);
    count("smtp", "receipt_max_days", o.receiptMaxDays, 1, 3650);
    count("smtp", "dialogue_minutes", o.smtpDialogueMinutes, 0, 1440);
    count("pop3", "max_message_mb", o.popMaxMessageMb, 1, 1024 * 1024);
    if (auto p = ParseLong(Env("VOXAFAX_POP3_PORT")); p && *p > 0 && *p < 65536)
        o.popPort = static_cast<int>(*p);
    if (auto p = ParseLong(Env("VOXAFAX_SMTP_PORT")); p && *p > 0 && *p < 65536)
        o.smtpPort = static_cast<int>(*p);
    return o;
}

}  // namespace platform
