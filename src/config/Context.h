#pragma once
// What a run hands to every subsystem: the platform services and the run's
// configuration and globals. Built once by the entry routine (or by a test)
// and passed by reference; nothing here is a global.
namespace platform {
struct Environment;
class EventLoop;
class ProfileStore;
class Dialogs;
class Printers;
class Imaging;
class SocketFactory;
class MailStore;
class Log;
}  // namespace platform

namespace config {
struct NodeConfig;
struct Options;
struct RunGlobals;

struct Context {
    platform::Environment& env;
    Options& options;
    platform::EventLoop& loop;
    platform::ProfileStore& profile;
    platform::Dialogs& dialogs;
    platform::Printers& printers;
    platform::Imaging& imaging;
    platform::SocketFactory& sockets;
    platform::MailStore& store;
    NodeConfig& cfg;
    RunGlobals& run;
    platform::Log& log;  // the run log on standard error
};

}  // namespace config
