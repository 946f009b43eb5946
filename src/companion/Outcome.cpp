#include "companion/Outcome.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "config/ExitStatus.h"
#include "net/Outcomes.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace companion {
namespace {

std::optional<long long> Number(const std::string& text) {
    const std::string t = platform::Trim(text);
    if (t.empty()) return std::nullopt;
    char* end = nullptr;
    long long v = std::strtoll(t.c_str(), &end, 10);
    if (!end || *end != '\0') return std::nullopt;
    return v;
}

std::string Megabytes(long long bytes) {
    char buf[32];
    if (bytes < 1000 * 1000)
        std::snprintf(buf, sizeof buf, "%lld kB", (bytes + 999) / 1000);
    else
        std::snprintf(buf, sizeof buf, "%.1f MB", static_cast<double>(bytes) / 1e6);
    return buf;
}

// The figures of the record that say something, in the order a person asks.
std::string Figures(const std::string& text) {
    auto get = [&](const char* key) {
        return Number(platform::ini::Lookup(text, "run", key).value_or("")).value_or(0);
    };
    std::string out;
    auto add = [&](long long n, const std::string& what, bool always = false) {
        if (n == 0 && !always) return;
        if (!out.empty()) out += ", ";
        out += std::to_string(n) + " " + what;
    };
    const long long downloaded = get("messages_downloaded");
    add(downloaded,
        downloaded == 1 ? "message downloaded (" + Megabytes(get("bytes_downloaded")) + ")"
        : downloaded    ? "messages downloaded (" + Megabytes(get("bytes_downloaded")) + ")"
                        : "messages downloaded",
        true);
    add(get("faxes_printed"), "faxes printed", true);
    add(get("faxes_unprintable"), "unprintable");
    add(get("regular_printed"), "regular faxes printed");
    add(get("regular_unprintable"), "regular faxes unprintable");
    add(get("messages_set_aside"), "set aside");
    add(get("messages_passed_over"), "passed over on the server");
    add(get("receipts_sent"), "receipts sent");
    add(get("receipts_queued"), "receipts waiting in Out/");
    return out;
}

}  // namespace

std::string ExitInWords(int status) {
    const config::ExitKind* k = config::FindExitStatus(status);
    if (!k) return std::to_string(status) + " (not one voxafax-print gives)";
    return std::to_string(status) + " (" + k->name + "): " + k->words;
}

std::string ExitHint(int status, const platform::Environment& env) {
    const config::ExitKind* k = config::FindExitStatus(status);
    std::string hint = k ? k->hint : config::FindExitStatus(config::kExitInternal)->hint;
    const std::pair<const char*, std::string> names[] = {
        {"{options}", env.OptionsIni()},
        {"{profile}", env.profilePath},
        {"{home}", env.programFolder},
    };
    for (const auto& [name, value] : names)
        if (const std::size_t at = hint.find(name); at != std::string::npos)
            hint.replace(at, std::strlen(name), value);
    return hint;
}

std::string LastErrorInWords(const std::string& lastError) {
    const std::string t = platform::Trim(lastError);
    if (t.empty()) return "none";
    auto code = Number(t);
    if (!code) return t;
    // A bare number is the SMTP error of a receipt or the test message that
    // no server took.
    if (const net::SmtpOutcomeText* o = net::FindSmtpOutcome(static_cast<std::int32_t>(*code))) {
        std::string words = t + " = " + o->meaning;
        if (o->quotesReply) words += " (voxafax status --full shows its reply)";
        return words;
    }
    // The socket's own code: an errno.
    if (*code > 0 && *code < 4096) return t + " = connection failed: " + std::strerror(*code);
    return t;
}

std::string LastErrorOfRun(const LastRun& run) {
    const std::string words = LastErrorInWords(run.lastError);
    if (!platform::Trim(run.lastError).empty() || !run.exitStatus ||
        *run.exitStatus == config::kExitOk)
        return words;
    for (const std::string& p : run.problems)
        if (p.starts_with("error: ")) return "none in last_error; the run said: " + p.substr(7);
    return words;
}

std::string LastRunPath(const platform::Environment& env) {
    return env.programFolder + "/last-run.ini";
}

std::optional<LastRun> ReadLastRun(const std::string& path) {
    auto text = platform::ReadWholeFile(path, platform::Links::Refuse);
    if (!text) return std::nullopt;
    const std::string& t = *text;
    auto get = [&](const char* key) { return platform::ini::Lookup(t, "run", key); };
    if (!get("state")) return std::nullopt;
    LastRun r;
    r.state = get("state").value_or("");
    r.pid = static_cast<long>(Number(get("pid").value_or("")).value_or(0));
    r.sw = get("switch").value_or("");
    r.profile = get("profile").value_or("");
    r.started = get("started").value_or("");
    r.ended = get("ended").value_or("");
    r.startedUnix = Number(get("started_unix").value_or("")).value_or(0);
    r.durationMs = Number(get("duration_ms").value_or(""));
    if (auto s = Number(get("exit_status").value_or(""))) r.exitStatus = static_cast<int>(*s);
    r.exitMeaning = get("exit_meaning").value_or("");
    r.lastError = get("last_error").value_or("");
    r.figures = Figures(t);
    for (int i = 1;; ++i) {
        auto line = platform::ini::Lookup(t, "problems", std::to_string(i));
        if (!line) break;
        // Tolerate a value written in quotes.
        if (line->size() >= 2 && line->front() == '"' && line->back() == '"')
            *line = line->substr(1, line->size() - 2);
        r.problems.push_back(*line);
    }
    return r;
}

std::string FormatDuration(long long ms) {
    char buf[48];
    if (ms < 1000)
        std::snprintf(buf, sizeof buf, "%lld ms", ms);
    else if (ms < 60000)
        std::snprintf(buf, sizeof buf, "%.1f s", static_cast<double>(ms) / 1000);
    else
        std::snprintf(buf, sizeof buf, "%lld min %lld s", ms / 60000, (ms % 60000) / 1000);
    return buf;
}

}  // namespace companion
