// voxafax: the people's command beside voxafax-print. This file wires the
// real printers and sockets into the commands.
#include <cups/cups.h>
#include <unistd.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "companion/Companion.h"
#include "companion/web/Faxes.h"
#include "companion/web/Shelf.h"
#include "companion/web/Web.h"
#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "linux/dialogs/TerminalDialogs.h"
#include "linux/imaging/ImageLibrary.h"
#include "linux/imaging/PagePng.h"
#include "linux/maildir/MaildirStore.h"
#include "linux/printing/SystemPrinters.h"
#include "linux/tcp/TcpSocket.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Profile.h"

namespace {

platform::Result<std::string> StoreMaildir(const std::string& storesIni,
                                           const std::string& profile) {
    auto p = platform::ReadStoreProfile(storesIni, profile);
    if (!p) return p.status();
    return p->maildir;
}

// A CUPS queue that is stopped or refuses jobs takes none, whatever it is named.
std::string CupsQueueProblem(const std::string& queue) {
    cups_dest_t* dest = cupsGetNamedDest(CUPS_HTTP_DEFAULT, queue.c_str(), nullptr);
    if (!dest) return "CUPS does not know it now: " + std::string(cupsLastErrorString());
    std::string why;
    const char* accepting =
        cupsGetOption("printer-is-accepting-jobs", dest->num_options, dest->options);
    const char* state = cupsGetOption("printer-state", dest->num_options, dest->options);
    const char* reasons = cupsGetOption("printer-state-reasons", dest->num_options, dest->options);
    if (accepting && std::string(accepting) == "false")
        why = "it refuses jobs (cupsaccept " + queue + " lets it take them)";
    else if (state && std::atoi(state) == IPP_PSTATE_STOPPED)
        why = "it is stopped (cupsenable " + queue + " starts it)";
    if (!why.empty() && reasons && std::string(reasons) != "none")
        why += "; CUPS says: " + std::string(reasons);
    cupsFreeDests(1, dest);
    return why;
}

// The Faxes pages on the real mail store, imaging and printers of the
// account whose files `env` names.
std::unique_ptr<web::FaxPages> MakeFaxPages(const platform::Environment& env) {
    const int maxPages = config::Options::Load(env).maxPages;
    auto dialogs = std::make_shared<platform::TerminalDialogs>("");
    auto shelf = std::make_unique<web::StoreShelf>(
        env.profilePath, std::make_unique<platform::MaildirStore>(env.StoresIni(), *dialogs),
        dialogs);
    web::Pictures pictures;
    pictures.pages = [maxPages](const std::string& path) -> platform::Result<int> {
        auto info = platform::ProbeImage(path, maxPages);
        if (!info) return info.status();
        return info->pages;
    };
    pictures.png = [maxPages](const std::string& path, int index, int w, int h) {
        return platform::RenderPagePng(path, index, w, h, maxPages);
    };
    auto printers = [env] {
        web::PrinterChoice choice;
        for (const auto& p : platform::MakeSystemPrinters(env.PrintersIni())->Installed())
            choice.names.push_back(p.deviceName);
        const std::string profile = platform::ReadWholeFile(env.profilePath).value_or("");
        choice.configured = platform::ini::Lookup(profile, "VOXA-FAX", "Printer_Type").value_or("");
        return choice;
    };
    return std::make_unique<web::FaxPagesImpl>(std::move(shelf), std::move(pictures), printers,
                                               env.programFolder + "/web-cache");
}

// A run context on the real platform, as voxafax-print builds one, for the
// commands that do part of a run's work (reprint).
int WithRunContext(const std::function<int(config::Context&)>& body) {
    platform::Environment env = platform::Environment::FromProcess();
    platform::Log log(platform::Log::LevelFromEnvironment(std::getenv("VOXAFAX_LOG")));
    config::Options options = config::Options::Load(env);
    if (!options.problems.empty()) {
        for (const auto& p : options.problems) log.Error(p);
        return 3;
    }
    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    platform::ProfileStore profile(env.profilePath);
    const char* answers = std::getenv("VOXAFAX_ANSWERS");
    platform::TerminalDialogs dialogs(answers ? answers : "");
    auto printers = platform::MakeSystemPrinters(env.PrintersIni());
    auto imaging =
        platform::MakeImageLibrary(*printers, env.programFolder + "/temp", options.maxPages);
    platform::TcpSocketFactory sockets(env.tick);
    platform::MaildirStore store(env.StoresIni(), dialogs);
    config::NodeConfig cfg;
    config::RunGlobals run;
    config::Context ctx{env,      options, loop,  profile, dialogs, *printers,
                        *imaging, sockets, store, cfg,     run,     log};
    return body(ctx);
}

}  // namespace

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        const platform::Environment env = platform::Environment::FromProcess();
        companion::Io io{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0};
        auto printers = platform::MakeSystemPrinters(env.PrintersIni());
        // As voxafax-print does: VOXAFAX_HOSTS_FILE keeps name lookups to a
        // hosts file (test and demo rounds on loopback-only machines).
        const char* hostsFile = std::getenv("VOXAFAX_HOSTS_FILE");
        platform::TcpSocketFactory sockets =
            hostsFile && *hostsFile
                ? platform::TcpSocketFactory(platform::HostsFileResolver(hostsFile))
                : platform::TcpSocketFactory(platform::Millis(20000));
        companion::Services services{*printers, sockets, CupsQueueProblem, StoreMaildir, {}};
        web::WebServices webServices{MakeFaxPages};
        services.more["web"] = [&](const std::vector<std::string>& a, companion::Io& io) {
            if (!a.empty() && (a[0] == "--help" || a[0] == "-h")) {
                io.out << web::kWebHelp;
                return 0;
            }
            return web::CmdWeb(a, io.out, io.err, webServices);
        };
        services.more["reprint"] = [](const std::vector<std::string>& a, companion::Io& io) {
            if (!a.empty() && (a[0] == "--help" || a[0] == "-h")) {
                io.out << web::kReprintHelp;
                return 0;
            }
            return web::CmdReprint(a, io.out, io.err, WithRunContext);
        };
        return companion::Dispatch(args, env, io, services);
    } catch (const std::exception& e) {
        std::cerr << "voxafax: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "voxafax: unexpected failure\n";
    }
    return companion::kProblem;
}
