#pragma once
// What a POP session takes from the run: no more than it uses.
namespace platform {
class EventLoop;
class Log;
class ProfileStore;
struct Environment;
}  // namespace platform
namespace config {
struct Options;
struct NodeConfig;
struct RunGlobals;
class Secrets;
}  // namespace config

namespace pop {

struct PopServices {
    platform::EventLoop& loop;
    platform::Log& log;
    platform::ProfileStore& profile;   // print_status
    const platform::Environment& env;  // the tick; where options.ini and the profile are
    const config::Options& options;
    const config::NodeConfig& cfg;  // general_timout, the profile's Password
    config::RunGlobals& run;        // In/, the logon name and server, last_error, the figures
    // What the logon proves itself with: the password (PASS, AUTH PLAIN) or
    // the access token (AUTH XOAUTH2), from [pop3] password_command or
    // password_file, else the profile's Password; read once per run.
    config::Secrets& secrets;
};

}  // namespace pop
