#include "companion/Outcome.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "net/Outcomes.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace companion {
namespace {

struct ExitKind {
    int status;
    const char* meaning;  // as the record's exit_meaning says it
    const char* words;
};

constexpr ExitKind kExits[] = {
    {kExitOk, "ok", "the run did its job"},
    {kExitInternal, "internal", "an unexpected internal failure"},
    {kExitUsage, "usage", "voxafax-print refused its command line"},
    {kExitConfig, "config", "a setting is missing or wrong"},
    {kExitAnotherRun, "another-run", "another voxafax-print was running"},
    {kExitServerUnreachable, "server-unreachable", "the POP3 server could not be reached"},
    {kExitLogonRefused, "logon-refused", "the POP3 server refused the user or the password"},
    {kExitRetrieval, "retrieval", "the POP3 session failed part-way"},
    {kExitStorage, "storage", "a message could not be converted or stored"},
    {kExitPrinting, "printing", "the printer failed"},
    {kExitSendFailed, "send-failed", "the test message reached no SMTP server"},
};

const ExitKind* FindExit(int status) {
    for (const ExitKind& k : kExits)
        if (k.status == status) return &k;
    return nullptr;
}

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
    const ExitKind* k = FindExit(status);
    if (!k) return std::to_string(status) + " (not one voxafax-print gives)";
    return std::to_string(status) + " (" + k->meaning + "): " + k->words;
}

std::string ExitHint(int status, const platform::Environment& env) {
    const std::string options = env.OptionsIni();
    switch (status) {
        case kExitOk:
            return {};
        case kExitUsage:
            return "voxafax help run lists the modes";
        case kExitConfig:
            return "voxafax check names the setting and the file; voxafax setup changes it";
        case kExitAnotherRun:
            return "voxafax status shows the run in progress; try again when it has ended";
        case kExitServerUnreachable:
            return "check [pop3] host, port and tls in " + options +
                   " (voxafax check tries the connection)";
        case kExitLogonRefused:
            return "check Voxa_Fax_Addr and Password in " + env.profilePath + " (voxafax setup)";
        case kExitRetrieval:
            return "the mail stays on the server and the next run fetches it again; the lines "
                   "above say what the server answered";
        case kExitStorage:
            return "check the Maildir of the store (stores.ini) and the free disk space; "
                   "messages not stored wait in " +
                   env.programFolder + "/In";
        case kExitPrinting:
            return "check the printer (voxafax check; lpstat -p for a CUPS printer); the faxes "
                   "stay in the inbox and print at the next run";
        case kExitSendFailed:
            return "check User_SMTP_Server and [smtp] in " + options +
                   "; voxafax status --full shows the SMTP dialogue";
        default:
            return "the lines above say what failed";
    }
}

std::string LastErrorInWords(const std::string& lastError) {
    const std::string t = platform::Trim(lastError);
    if (t.empty()) return "none";
    auto code = Number(t);
    if (!code) return t;
    // A bare number is the SMTP error of a receipt or the test message that
    // no server took; these are the texts the program has for them.
    const char* text = nullptr;
    switch (*code) {
        case net::kSmtpOk:
            text =
                "no SMTP server could be tried (check User_SMTP_Server and "
                "Normal_EMail_Addr)";
            break;
        case net::kSmtpDisconnected:
            text = "Server Disconnected";
            break;
        case net::kSmtpServiceUnavailable:
            text = "SMTP Service Unavailable on the server";
            break;
        case net::kSmtpRecipientRefused:
        case net::kSmtpDataRefused:
            text = "The SMTP server refused the message (voxafax status --full shows its reply)";
            break;
        case net::kSmtpNotConfirmed:
            text = "Mail Command Syntax Error";
            break;
        case net::kSmtpHostUnknown:
            text = "Unable to obtain an Internet Address for the server";
            break;
        case net::kSmtpConnectFailed:
            text = "Unable to connect to the server";
            break;
        case net::kSmtpTimedOut:
            text = "The connection timed out";
            break;
        default:
            // The socket's own code: an errno.
            if (*code > 0 && *code < 4096)
                return t + " = connection failed: " + std::strerror(*code);
            return t;
    }
    return t + " = " + text;
}

std::string LastRunPath(const platform::Environment& env) {
    return env.programFolder + "/last-run.ini";
}

std::optional<LastRun> ReadLastRun(const std::string& path) {
    auto text = platform::ReadWholeFile(path);
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
