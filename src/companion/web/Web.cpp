#include "companion/web/Web.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <climits>
#include <cstdlib>
#include <ostream>

#include "companion/Companion.h"
#include "companion/web/Access.h"
#include "companion/web/App.h"
#include "companion/web/Server.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace web {

const char kWebHelp[] =
    "usage: voxafax web [--listen ADDRESS] [--port N] [--name HOST]... [--profile FILE]\n"
    "                   [--timer UNIT] [--url]\n"
    "\n"
    "Serves the pages of this account to a browser: Now (the status keys in words,\n"
    "the last run, the timer's next run, \"Get faxes now\"), Faxes (the filed faxes\n"
    "with thumbnails, each page, reprint), Receipts (what waits in Out/ and\n"
    "Undelivered/). It prints its address with an access token; open that address.\n"
    "\n"
    "  --listen ADDRESS  listen on this address (default 127.0.0.1); any other than\n"
    "                    a loopback address lets other machines reach the pages\n"
    "  --port N          listen on this port (default: one the system chooses)\n"
    "  --name HOST       also answer requests that name the server HOST\n"
    "  --profile FILE    the profile file (default $VOXAFAX_PROFILE)\n"
    "  --timer UNIT      the systemd timer whose next run Now shows\n"
    "                    (default voxafax-print.timer)\n"
    "  --url             print the address with its token and end (the socket\n"
    "                    unit's port 8786 unless --port names another)\n"
    "\n"
    "Started by the systemd socket unit voxafax-web.socket it serves the socket it\n"
    "is handed. The token is kept in web-token in the program folder; delete the\n"
    "file to make a new one.\n";

namespace {

struct WebOptions {
    std::string address = "127.0.0.1";
    int port = 0;
    bool portGiven = false;
    std::vector<std::string> names;
    std::string timerUnit = "voxafax-print.timer";
    bool urlOnly = false;
};

// "" when the arguments are good, else what is wrong with them.
std::string ParseArgs(const std::vector<std::string>& args, WebOptions& o) {
    for (std::size_t i = 0; i < args.size(); ++i) {
        const std::string& a = args[i];
        const bool hasValue = i + 1 < args.size();
        if (a == "--url") {
            o.urlOnly = true;
        } else if (!hasValue && (a == "--listen" || a == "--port" || a == "--name" ||
                                 a == "--profile" || a == "--timer")) {
            return a + " needs a value";
        } else if (a == "--listen") {
            o.address = args[++i];
        } else if (a == "--port") {
            const std::string& v = args[++i];
            char* end = nullptr;
            const long p = std::strtol(v.c_str(), &end, 10);
            if (v.empty() || *end || p < 0 || p > 65535) return "--port " + v + " is not a port";
            o.port = static_cast<int>(p);
            o.portGiven = true;
        } else if (a == "--name") {
            o.names.push_back(args[++i]);
        } else if (a == "--profile") {
            // Children (runs, reprints) read the same profile.
            ::setenv("VOXAFAX_PROFILE", args[++i].c_str(), 1);
        } else if (a == "--timer") {
            o.timerUnit = args[++i];
        } else {
            return "unexpected argument \"" + a + "\"";
        }
    }
    return {};
}

// SIGINT and SIGTERM end the server through its loop; a run it started goes on.
platform::UniqueFd StopSignals() {
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGINT);
    sigaddset(&set, SIGTERM);
    ::sigprocmask(SIG_BLOCK, &set, nullptr);
    ::signal(SIGPIPE, SIG_IGN);
    return platform::UniqueFd(::signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK));
}

// This program's own file, to start `voxafax reprint` as a job.
std::string SelfProgram() {
    char self[PATH_MAX];
    const ssize_t n = ::readlink("/proc/self/exe", self, sizeof self - 1);
    return n > 0 ? std::string(self, static_cast<std::size_t>(n)) : std::string();
}

platform::Result<Listener> OpenListener(const WebOptions& o, bool& activated) {
    auto inherited = InheritedListener();
    activated = inherited.ok();
    if (activated || inherited.status().kind != platform::Fail::NotFound) return inherited;
    return ListenOn(o.address, o.port);
}

int Serve(const WebOptions& o, const WebServices& services, std::ostream& out, std::ostream& err) {
    const platform::Environment env = platform::Environment::FromProcess();
    std::string why;
    const std::string token = LoadOrMakeToken(env.programFolder, why);
    if (token.empty()) {
        err << "voxafax web: " << why << "; set VOXAFAX_HOME to a folder this user can write\n";
        return companion::kProblem;
    }
    bool activated = false;
    auto listener = OpenListener(o, activated);
    if (!listener) {
        err << "voxafax web: " << listener.status().detail
            << (o.portGiven ? "; choose another --port" : "") << "\n";
        return companion::kProblem;
    }
    if (!listener->loopback)
        err << "voxafax web: listening on " << listener->address
            << ", which other machines can reach: the token is all that keeps them out\n";

    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    Access access(clock, token, AllowedHosts(*listener, o.names), listener->port);
    Site site{env, companion::FindPrintProgram(), SelfProgram(), o.timerUnit};
    App app(loop, site, access);
    if (services.makeFaxPages) app.SetFaxPages(services.makeFaxPages(env));
    Server server(loop, app);
    const std::string url = listener->Url();
    if (auto st = server.Start(*listener); !st) {
        err << "voxafax web: " << st.detail << "\n";
        return companion::kProblem;
    }
    bool stop = false;
    platform::UniqueFd signals = StopSignals();
    if (signals) loop.Watch(signals.get(), POLLIN, [&](short) { stop = true; });
    out << "voxafax web: serving " << env.programFolder << (activated ? " (socket unit)" : "")
        << " at " << url << "/?token=" << token << std::endl;
    while (!stop) loop.RunOnce(true);
    out << "voxafax web: stopped" << std::endl;
    return companion::kOk;
}

}  // namespace

std::string LoadOrMakeToken(const std::string& programFolder, std::string& why) {
    const std::string path = programFolder + "/web-token";
    if (auto text = platform::ReadWholeFile(path)) {
        std::string t = platform::Trim(*text);
        if (t.size() >= 32) return t;
    }
    if (auto made = platform::MakeFolders(programFolder); !made) {
        why = made.detail;
        return {};
    }
    std::string t = RandomSecret(24);
    if (auto st = platform::WriteFileAtomically(path, t + "\n", 0600); !st) {
        why = st.detail;
        return {};
    }
    return t;
}

int CmdWeb(const std::vector<std::string>& args, std::ostream& out, std::ostream& err,
           const WebServices& services) {
    WebOptions o;
    if (std::string bad = ParseArgs(args, o); !bad.empty()) {
        err << "voxafax web: " << bad << "; see voxafax help web\n";
        return companion::kUsage;
    }
    if (o.urlOnly) {
        const platform::Environment env = platform::Environment::FromProcess();
        std::string why;
        const std::string token = LoadOrMakeToken(env.programFolder, why);
        if (token.empty()) {
            err << "voxafax web: " << why << "\n";
            return companion::kProblem;
        }
        Listener l;
        l.address = o.address;
        l.port = o.portGiven ? o.port : kUnitPort;
        out << l.Url() << "/?token=" << token << "\n";
        return companion::kOk;
    }
    return Serve(o, services, out, err);
}

}  // namespace web
