#include "platform/Environment.h"

#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/Files.h"
#include "platform/Text.h"

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
    if (const std::string runtime = Env("XDG_RUNTIME_DIR"); !runtime.empty())
        e.lockDir = runtime + "/voxafax";
    return e;
}

}  // namespace platform
