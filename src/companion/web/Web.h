#pragma once
// `voxafax web`: the pages of one account in a browser, served on this
// machine by the companion's process.
#include <functional>
#include <iosfwd>
#include <memory>
#include <string>
#include <vector>

#include "platform/Environment.h"

namespace config {
struct Context;
}

namespace web {

class FaxPages;

// The port the systemd socket unit listens on; `voxafax web --url` names it
// when no other port is given.
inline constexpr int kUnitPort = 8786;

// What main.cpp hands in: the faxes' pages, built on the real mail store,
// imaging and printers (nullptr: the server runs without them).
struct WebServices {
    std::function<std::unique_ptr<FaxPages>(const platform::Environment&)> makeFaxPages;
};

// Runs `voxafax web ARGS`; returns the exit status.
int CmdWeb(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const WebServices& services);

extern const char kWebHelp[];

// Runs `body` on a run context of the real platform built for the account
// of the process's environment; returns what `body` returns. main.cpp makes it.
using WithRunContext = std::function<int(const std::function<int(config::Context&)>& body)>;

// Runs `voxafax reprint ID [--printer NAME] [--profile FILE]`; returns the
// exit status.
int CmdReprint(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
               const WithRunContext& withContext);
extern const char kReprintHelp[];

// The access token of the program folder, made (0600) when there is none, so
// that an address once printed stays good across restarts. "" on failure,
// with `why` set.
std::string LoadOrMakeToken(const std::string& programFolder, std::string& why);

}  // namespace web
