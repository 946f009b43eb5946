#include "platform/Log.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {
namespace {

constexpr std::size_t kMaxLine = 400;
constexpr std::size_t kMaxProblems = 50;

// systemd sets JOURNAL_STREAM to "device:inode" of the stream it connected
// to standard error; only then are priority prefixes understood.
bool StderrIsJournal() {
    const char* js = std::getenv("JOURNAL_STREAM");
    if (!js || !*js) return false;
    unsigned long long dev = 0, ino = 0;
    if (std::sscanf(js, "%llu:%llu", &dev, &ino) != 2) return false;
    struct stat st {};
    return ::fstat(STDERR_FILENO, &st) == 0 && st.st_dev == dev && st.st_ino == ino;
}

Log::Sink StderrSink() {
    const bool journal = StderrIsJournal();
    return [journal](LogLevel level, std::string_view line) {
        std::string out;
        if (journal) {
            out = "<" + std::to_string(static_cast<int>(level)) + ">";
        } else if (level == LogLevel::Error) {
            out = "voxafax-print: error: ";
        } else if (level == LogLevel::Warning) {
            out = "voxafax-print: warning: ";
        } else {
            out = "voxafax-print: ";
        }
        out.append(line);
        out += '\n';
        (void)WriteAll(STDERR_FILENO, out, "standard error");
    };
}

}  // namespace

Log::Log(LogLevel threshold) : threshold_(threshold), sink_(StderrSink()) {}

Log::Log(LogLevel threshold, Sink sink) : threshold_(threshold), sink_(std::move(sink)) {}

LogLevel Log::LevelFromEnvironment(const char* value, bool* unknown) {
    if (unknown) *unknown = false;
    if (!value || !*value || std::strcmp(value, "info") == 0) return LogLevel::Info;
    if (std::strcmp(value, "quiet") == 0) return LogLevel::Warning;
    if (std::strcmp(value, "debug") == 0) return LogLevel::Debug;
    if (unknown) *unknown = true;
    return LogLevel::Info;
}

std::string Log::Clean(std::string_view text) {
    std::string out = OneLine(text, kMaxLine, "...");
    while (!out.empty() && out.back() == ' ') out.pop_back();
    return out;
}

void Log::Write(LogLevel level, std::string_view line) {
    const std::string clean = Clean(line);
    if (level <= LogLevel::Warning) {
        (level == LogLevel::Error ? errors_ : warnings_)++;
        if (problems_.size() < kMaxProblems)
            problems_.push_back((level == LogLevel::Error ? "error: " : "warning: ") + clean);
    }
    if (Enabled(level) && sink_) sink_(level, clean);
}

}  // namespace platform
