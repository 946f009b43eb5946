#include <sys/stat.h>

#include <algorithm>
#include <cstdio>
#include <ctime>
#include <ostream>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "companion/Outcome.h"
#include "config/ExitStatus.h"
#include "platform/Files.h"
#include "platform/Profile.h"

namespace companion {
namespace {

constexpr std::size_t kLogTail = 600;  // characters of SMTP_State shown without --full

void Row(std::ostream& out, const std::string& key, const std::optional<std::string>& value,
         const std::string& note = {}) {
    out << "  " << key << std::string(key.size() < 14 ? 14 - key.size() : 1, ' ');
    if (!value)
        out << "(not set)";
    else if (value->empty())
        out << "(empty)";
    else
        out << *value;
    if (!note.empty()) out << "   (" << note << ")";
    out << "\n";
}

std::string FormatTime(std::time_t t) {
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

struct QueuedFile {
    std::string name;
    std::uintmax_t size = 0;
    std::time_t mtime = 0;
};

std::vector<QueuedFile> QueuedFiles(const std::string& dir) {
    std::vector<QueuedFile> files;
    for (std::string& name : platform::ListFiles(dir).value_or({})) {
        struct stat st {};
        if (::stat((dir + "/" + name).c_str(), &st) != 0) continue;
        files.push_back({std::move(name), static_cast<std::uintmax_t>(st.st_size), st.st_mtime});
    }
    return files;
}

}  // namespace

std::string DescribeSession(const std::string& session) {
    std::vector<std::string> f;
    std::string cur;
    for (char c : session + ",") {
        if (c == ',') {
            f.push_back(cur);
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (f.size() < 4) return {};
    for (int i = 0; i < 3; ++i)
        if (f[i].empty() || f[i].find_first_not_of("0123456789") != std::string::npos) return {};
    return f[0] + " printed, " + f[1] + " unprintable, " + f[2] + " regular faxes";
}

namespace {

using Running = std::optional<int>;

// The record of the last run: when, how long, how it ended.
void ShowLastRun(std::ostream& out, const platform::Environment& env,
                 const std::optional<LastRun>& rec, const Running& running) {
    out << "\nLast run (" << LastRunPath(env) << "):\n";
    if (!rec) {
        out << "  no record yet\n";
        return;
    }
    std::string started = rec->started.empty() ? "(not recorded)" : rec->started;
    if (!rec->sw.empty()) started += ", switch " + rec->sw;
    Row(out, "started", started);
    if (rec->state == "running" && running) {
        Row(out, "state", "running now (process " + std::to_string(*running) + ")");
    } else if (rec->state == "running") {
        // The record is written again at every end, early ends included:
        // one still saying "running" belongs to a process that died.
        Row(out, "state",
            "ended without finishing: process " + std::to_string(rec->pid) +
                " was killed or the machine stopped");
    } else {
        if (rec->durationMs) Row(out, "took", FormatDuration(*rec->durationMs));
        Row(out, "ended",
            rec->exitStatus ? "exit status " + ExitInWords(*rec->exitStatus)
                            : "(no exit status recorded)");
        if (rec->exitStatus && *rec->exitStatus != config::kExitOk)
            Row(out, "what to do", ExitHint(*rec->exitStatus, env));
        Row(out, "last error", LastErrorOfRun(*rec));
        if (!rec->figures.empty()) Row(out, "figures", rec->figures);
    }
    for (const std::string& p : rec->problems) out << "  " << p << "\n";
}

// The status keys, and a word on those a run that ended early left behind.
void ShowStatusKeys(std::ostream& out, const std::string& profile,
                    const std::optional<LastRun>& rec, const Running& running) {
    auto key = [&](const char* k) { return platform::ini::Lookup(profile, kSection, k); };
    // Keys that say "a run is under way" while none is: left by a run that
    // ended early (a bad printer or profile, no switch, a kill).
    const bool staleRunning = !running && key("VFPrint").value_or("") == "running";
    const bool stalePrinting = !running && key("printing").value_or("") == "1";
    out << "\nStatus keys ([" << kSection << "] of the profile file):\n";
    Row(out, "VFPrint", key("VFPrint"), staleRunning ? "stale: no run is in progress" : "");
    Row(out, "printing", key("printing"), stalePrinting ? "stale: no run is in progress" : "");
    Row(out, "print_status", key("print_status"));
    const auto lastError = key("last_error");
    std::string note;
    if (lastError && !lastError->empty() && LastErrorInWords(*lastError) != *lastError)
        note = LastErrorInWords(*lastError);
    Row(out, "last_error", lastError, note);
    auto session = key("session");
    Row(out, "session", session, session ? DescribeSession(*session) : std::string());
    for (const char* k : {"totals", "test_server"}) Row(out, k, key(k));
    if (auto p = key("Printer_Type")) Row(out, "printer", p);
    if (!staleRunning && !stalePrinting) return;
    std::string names = staleRunning && stalePrinting ? "VFPrint \"running\" and printing \"1\""
                        : staleRunning                ? "VFPrint \"running\""
                                                      : "printing \"1\"";
    out << "  The keys " << names
        << " are left from a run that ended early; no run is in progress.";
    if (rec && rec->state == "ended" && rec->exitStatus && *rec->exitStatus != config::kExitOk)
        out << " That run ended with exit status " << *rec->exitStatus << ".";
    out << " The next run writes them anew.\n";
}

void ShowLastSend(std::ostream& out, const platform::Environment& env, bool full) {
    const std::string account = env.programFolder + "/account.ini";
    auto acc = platform::ReadWholeFile(account);
    out << "\nLast send (" << account << "):\n";
    if (!acc) {
        out << "  nothing sent yet\n";
        return;
    }
    for (const char* k : {"Version", "SMTP_Type", "SMTP_Servers"})
        Row(out, k, platform::ini::Lookup(*acc, "log", k));
    auto log = platform::ini::Lookup(*acc, "log", "SMTP_State");
    if (log && !full && log->size() > kLogTail) log = "..." + log->substr(log->size() - kLogTail);
    Row(out, "SMTP_State", log);
}

void ShowQueues(std::ostream& out, const platform::Environment& env, const std::string& profile) {
    auto queued = QueuedFiles(env.programFolder + "/Out");
    out << "\nReceipts waiting in " << env.programFolder << "/Out: " << queued.size() << "\n";
    for (const QueuedFile& f : queued) {
        char size[32];
        std::snprintf(size, sizeof size, "%10ju", f.size);
        out << "  " << FormatTime(f.mtime) << " " << size << "  " << f.name << "\n";
    }
    // Queued receipts go out again only from this sender's address.
    if (!queued.empty() &&
        platform::ini::Lookup(profile, kSection, "Normal_EMail_Addr").value_or("").empty())
        out << "  These are never sent again while Normal_EMail_Addr is empty: run voxafax "
               "setup.\n";
    auto in = QueuedFiles(env.programFolder + "/In");
    if (!in.empty())
        out << "Downloaded messages not yet filed in the store: " << in.size() << " (in "
            << env.programFolder << "/In)\n";
}

}  // namespace

int CmdStatus(const platform::Environment& env, const StatusOptions& opts, std::ostream& out) {
    auto text = platform::ReadWholeFile(env.profilePath);
    out << "Profile file: " << env.profilePath << "\n";
    if (!text) out << "  " << ProfileUnreadable(env.profilePath, text.status()) << "\n";
    const std::string profile = text.value_or("");
    const Running running = RunningPid(env.programFolder + "/voxafax-print.lock");
    if (running)
        out << "voxafax-print is running (process " << *running << ")\n";
    else
        out << "voxafax-print is not running\n";
    const std::optional<LastRun> rec = ReadLastRun(LastRunPath(env));
    ShowLastRun(out, env, rec, running);
    ShowStatusKeys(out, profile, rec, running);
    ShowLastSend(out, env, opts.full);
    ShowQueues(out, env, profile);
    return 0;
}

}  // namespace companion
