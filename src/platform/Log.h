#pragma once
// The run log for people: one line per event on standard error, which
// journald keeps under systemd. Lines name the object first, then what
// happened, then what to change. Never a password, never message content.
#include <functional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

// Ordered as syslog priorities: a line is written when its level is at most
// the log's threshold.
enum class LogLevel { Error = 3, Warning = 4, Info = 6, Debug = 7 };

class Log {
  public:
    using Sink = std::function<void(LogLevel, std::string_view line)>;

    // Writes to standard error: with a "<N>" priority prefix when standard
    // error is the journal, else with "error: " / "warning: " before problems.
    explicit Log(LogLevel threshold = LogLevel::Info);
    // Hands every line that passes the threshold to sink (tests).
    Log(LogLevel threshold, Sink sink);

    // VOXAFAX_LOG = quiet (errors and warnings), info (the default) or debug;
    // an unknown value is info, and the first line of the log says so.
    static LogLevel LevelFromEnvironment(const char* value, bool* unknown = nullptr);

    bool Enabled(LogLevel level) const { return level <= threshold_; }
    void Error(std::string_view line) { Write(LogLevel::Error, line); }
    void Warning(std::string_view line) { Write(LogLevel::Warning, line); }
    void Info(std::string_view line) { Write(LogLevel::Info, line); }
    void Debug(std::string_view line) { Write(LogLevel::Debug, line); }
    void Write(LogLevel level, std::string_view line);

    // The errors and warnings of the run so far, oldest first (at most 50),
    // for the record of the last run.
    const std::vector<std::string>& Problems() const { return problems_; }
    int ErrorCount() const { return errors_; }
    int WarningCount() const { return warnings_; }

    // One printable line: control characters become blanks, and a line
    // longer than 400 characters is cut and ends in "...".
    static std::string Clean(std::string_view text);

  private:
    LogLevel threshold_;
    Sink sink_;
    std::vector<std::string> problems_;
    int errors_ = 0;
    int warnings_ = 0;
};

}  // namespace platform
