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
#include "linux/printing/SystemPrinters.h"
#include "linux/tcp/TcpSocket.h"

namespace {

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
        companion::Services services{*printers, sockets, CupsQueueProblem};
        return companion::Dispatch(args, env, io, services);
    } catch (const std::exception& e) {
        std::cerr << "voxafax: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "voxafax: unexpected failure\n";
    }
    return companion::kProblem;
}
