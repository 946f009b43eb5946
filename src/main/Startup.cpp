#include "main/Startup.h"

#include <pwd.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <string>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Profile.h"

namespace vfmain {
namespace {

using config::RunFailure;

// The owner of the first of these that exists and is not root's.
std::optional<uid_t> UserOwner(const platform::Environment& env) {
    for (const std::string& path : {env.programFolder, env.profilePath, env.configDir}) {
        struct stat st {};
        if (::stat(path.c_str(), &st) == 0 && st.st_uid != 0) return st.st_uid;
    }
    return std::nullopt;
}

// "user 1000 (alice)", or without the name when the user has none.
std::string UserText(uid_t uid) {
    std::string text = "user " + std::to_string(uid);
    passwd pw{};
    passwd* found = nullptr;
    char buf[1024];
    if (::getpwuid_r(uid, &pw, buf, sizeof buf, &found) == 0 && found && found->pw_name)
        text += std::string(" (") + found->pw_name + ")";
    return text;
}

std::string LinkTarget(const std::string& path) {
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return "(nowhere)";
    std::string target = real;
    std::free(real);
    return target;
}

bool IsLink(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

}  // namespace

std::optional<RunFailure> CheckRunAsRoot(const platform::Environment& env, platform::Log& log) {
    if (::geteuid() != 0) return std::nullopt;
    const std::optional<uid_t> owner = UserOwner(env);
    if (!owner) return std::nullopt;
    log.Error("voxafax-print runs as root on the files of " + UserText(*owner) + " (" +
              env.programFolder + ", " + env.profilePath +
              "); it would leave files behind that user cannot read; nothing was done; run it as "
              "that user (systemctl --user, or runuser -u)");
    return RunFailure::Config;
}

std::optional<RunFailure> CheckProfileReadable(const platform::Environment& env,
                                               platform::Log& log) {
    auto text = platform::ReadWholeFile(env.profilePath);
    if (text || text.status().kind == platform::Fail::NotFound) return std::nullopt;
    log.Error("profile file " + env.profilePath + ": " + text.status().detail +
              "; the run ends without reading or writing it; make it readable and writable by "
              "this user (chown, chmod 600)");
    return RunFailure::Config;
}

void TidyProgramFolder(const platform::Environment& env, platform::Log& log) {
    const std::string& home = env.programFolder;
    for (const char* own :
         {"account.ini", "receipts.ledger", "last-run.ini", "In/.pop/failing", "In/.pop/uncertain"})
        platform::RemoveStaleCopies(home + "/" + own);
    platform::ini::RemoveStaleCopies(env.profilePath, platform::Links::Follow);
    for (const std::string& folder :
         {home, home + "/temp", home + "/In", home + "/Out", home + "/MDNs"})
        if (IsLink(folder))
            log.Warning("program folder " + folder + " is a link to " + LinkTarget(folder) +
                        "; mail and receipts are kept there");
}

}  // namespace vfmain
