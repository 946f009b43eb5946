#pragma once
// What outgoing mail uses of a run, and nothing more: the settings it reads,
// the run-wide values it writes, the event loop, the profile store (status
// keys and account.ini), the run log, and the clocks.
#include <ctime>
#include <functional>
#include <string>

#include "platform/Clock.h"

namespace config {
struct Context;
struct NodeConfig;
struct Options;
struct RunGlobals;
class Secrets;
}  // namespace config

namespace platform {
class EventLoop;
class Log;
class MailExchangers;
class ProfileStore;
}  // namespace platform

namespace mailout {

struct Services {
    const config::NodeConfig& cfg;
    const config::Options& options;
    config::RunGlobals& run;
    platform::EventLoop& loop;
    platform::ProfileStore& profile;
    platform::Log& log;
    std::string profilePath;  // named in log lines that point at a setting
    std::string optionsPath;
    platform::Millis tick{60000};  // one tick of the network timers
    // The calendar, for the age of queued receipts and their retry times.
    std::function<std::time_t()> wallNow = [] { return std::time(nullptr); };
    // MX lookups for [smtp] mx = yes; none given: the system's name servers.
    platform::MailExchangers* mx = nullptr;
    // Where the SMTP password comes from; none given: options.ini, else the
    // profile's Password.
    config::Secrets* secrets = nullptr;
};

Services ServicesOf(config::Context& ctx);

}  // namespace mailout
