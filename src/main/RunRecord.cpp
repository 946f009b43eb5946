#include "main/RunRecord.h"

#include <unistd.h>

#include <chrono>

#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace vfmain {
namespace {

// Local time as "2026-12-06 10:15:00": readable, and sorts as it reads.
std::string LocalTime(std::time_t t) {
    std::tm tm{};
    localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S", &tm);
    return buf;
}

void Add(std::string& text, const char* key, const std::string& value) {
    text += key;
    text += " = ";
    text += platform::OneLine(value);  // an INI value cannot hold a line end
    text += '\n';
}

}  // namespace

RunRecord::RunRecord(const std::string& programFolder, std::string commandSwitch,
                     std::string profilePath, platform::SteadyTime startedSteady)
    : path_(programFolder + "/last-run.ini"),
      switch_(std::move(commandSwitch)),
      profile_(std::move(profilePath)),
      pid_(static_cast<long>(::getpid())),
      started_(std::time(nullptr)),
      startedSteady_(startedSteady) {}

std::string RunRecord::Header(const char* state) const {
    std::string text = "[run]\n";
    Add(text, "state", state);
    Add(text, "pid", std::to_string(pid_));
    Add(text, "switch", switch_);
    Add(text, "profile", profile_);
    Add(text, "started", LocalTime(started_));
    Add(text, "started_unix", std::to_string(static_cast<long long>(started_)));
    return text;
}

platform::Status RunRecord::WriteRunning() {
    return platform::WriteFileAtomically(path_, Header("running"), 0600);
}

platform::Status RunRecord::WriteEnded(int exitStatus, const config::RunGlobals& run,
                                       const platform::Log& log, platform::SteadyTime nowSteady) {
    const std::time_t ended = std::time(nullptr);
    const auto ms =
        std::chrono::duration_cast<std::chrono::milliseconds>(nowSteady - startedSteady_).count();
    std::string text = Header("ended");
    Add(text, "ended", LocalTime(ended));
    Add(text, "ended_unix", std::to_string(static_cast<long long>(ended)));
    Add(text, "duration_ms", std::to_string(ms < 0 ? 0 : static_cast<long long>(ms)));
    Add(text, "exit_status", std::to_string(exitStatus));
    Add(text, "exit_meaning", ExitMeaning(exitStatus));
    Add(text, "faxes_printed", std::to_string(run.gVFPrinted));
    Add(text, "faxes_unprintable", std::to_string(run.gVFUnprintable));
    Add(text, "regular_printed", std::to_string(run.gRegPrinted));
    Add(text, "regular_unprintable", std::to_string(run.gRegUnprintable));
    const config::RunStats& s = run.stats;
    Add(text, "messages_downloaded", std::to_string(s.messagesDownloaded));
    Add(text, "bytes_downloaded", std::to_string(s.bytesDownloaded));
    Add(text, "messages_converted", std::to_string(s.messagesConverted));
    Add(text, "messages_set_aside", std::to_string(s.messagesSetAside));
    Add(text, "messages_passed_over", std::to_string(s.messagesPassedOver));
    Add(text, "receipts_sent", std::to_string(s.receiptsSent));
    Add(text, "receipts_queued", std::to_string(s.receiptsQueued));
    Add(text, "last_error", config::LastErrorValue(run));
    Add(text, "errors", std::to_string(log.ErrorCount()));
    Add(text, "warnings", std::to_string(log.WarningCount()));
    text += "\n[problems]\n";
    int n = 0;
    for (const std::string& p : log.Problems()) Add(text, std::to_string(++n).c_str(), p);
    return platform::WriteFileAtomically(path_, text, 0600);
}

long RunRecord::RunningPid(const std::string& programFolder) {
    auto text = platform::ReadWholeFile(programFolder + "/last-run.ini", platform::Links::Refuse);
    if (!text) return 0;
    if (platform::ini::Lookup(*text, "run", "state").value_or("") != "running") return 0;
    const std::string pid = platform::ini::Lookup(*text, "run", "pid").value_or("");
    char* end = nullptr;
    const long v = std::strtol(pid.c_str(), &end, 10);
    return end && *end == '\0' && v > 0 ? v : 0;
}

}  // namespace vfmain
