#pragma once
// Where a mail server's password comes from. By default it is the profile's
// Password; options.ini may instead name a file that holds it
// (password_file, readable by the user alone) or a command that prints it
// (password_command: a keyring, or a helper that refreshes an OAuth 2.0
// access token). A password is fetched at most once per run and lives only
// in this process's memory: it is never logged, never handed to a child
// process, and core files are turned off once one is read.
#include <map>
#include <string>

#include "platform/Clock.h"
#include "platform/Result.h"

namespace platform {
class EventLoop;
}

namespace config {

// The two keys of one server section of options.ini.
struct SecretSource {
    std::string section;  // "pop3" or "smtp": where the keys are, for messages
    std::string command;  // password_command: run by /bin/sh, its first output line
    std::string file;     // password_file: its first line; 0600 and the user's own

    bool Set() const { return !command.empty() || !file.empty(); }
};

class Secrets {
  public:
    // `optionsPath` names options.ini in messages; a command that has not
    // ended after `commandLimit` is killed and the password counts as
    // unavailable.
    Secrets(platform::EventLoop& loop, std::string optionsPath,
            platform::Millis commandLimit = platform::Millis(60000));

    // The password for the server whose keys `source` holds, or
    // `profilePassword` when neither key is set. A failure says which key of
    // which file to look at, never what was read.
    platform::Result<std::string> Password(const SecretSource& source,
                                           const std::string& profilePassword);

  private:
    platform::Result<std::string> FromFile(const SecretSource& source);
    platform::Result<std::string> FromCommand(const SecretSource& source);
    std::string Where(const SecretSource& source, const char* key) const;

    platform::EventLoop& loop_;
    std::string optionsPath_;
    platform::Millis commandLimit_;
    std::map<std::string, std::string> fetched_;  // section -> password, this run
};

// Keeps a password out of core files: the process is made undumpable and
// its core-file limit zero. Called whenever a password is read; harmless to
// call again.
void KeepSecretsOutOfCoreFiles();

}  // namespace config
