#pragma once
// What a run of voxafax-print came to, in words for a person: its exit
// status, the codes it leaves in last_error, and the record of the last run
// that it keeps in the program folder.
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/Environment.h"

namespace companion {

// "5 (server-unreachable): the POP3 server could not be reached".
std::string ExitInWords(int status);
// What to do or where to look after a run that ended with this status; ""
// for a run that did its job.
std::string ExitHint(int status, const platform::Environment& env);

// last_error as a person reads it: a bare SMTP error code gets its text
// ("5" -> "5 = Unable to obtain an Internet Address for the server"); any
// other text stays as it is; "" is "none".
std::string LastErrorInWords(const std::string& lastError);

// $VOXAFAX_HOME/last-run.ini, written by voxafax-print at the start and at
// every end of a run.
struct LastRun {
    std::string state;  // "running" or "ended"
    long pid = 0;
    std::string sw;
    std::string profile;
    std::string started, ended;  // local time as voxafax-print wrote it
    long long startedUnix = 0;
    std::optional<long long> durationMs;
    std::optional<int> exitStatus;
    std::string exitMeaning;
    std::string lastError;
    std::string figures;                // "3 messages downloaded (1.2 MB), 2 faxes printed, ..."
    std::vector<std::string> problems;  // "error: ..." / "warning: ..."
};

// last_error of a recorded run in words; when the run ended with a failure
// but left last_error empty, the first error its log noted instead.
std::string LastErrorOfRun(const LastRun& run);

std::string LastRunPath(const platform::Environment& env);
// nullopt when there is no record or it has no [run] section.
std::optional<LastRun> ReadLastRun(const std::string& path);

// "850 ms", "12.3 s", "2 min 5 s".
std::string FormatDuration(long long ms);

}  // namespace companion
