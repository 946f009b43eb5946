#include "linux/tcp/Resolver.h"

#include <arpa/inet.h>
#include <netdb.h>
#include <netinet/in.h>
#include <strings.h>
#include <sys/socket.h>

#include <cstring>
#include <ctime>
#include <fstream>
#include <memory>
#include <sstream>

namespace platform {
namespace {

std::string AddressText(const sockaddr* sa) {
    char buf[INET6_ADDRSTRLEN] = {};
    if (sa->sa_family == AF_INET) {
        inet_ntop(AF_INET, &reinterpret_cast<const sockaddr_in*>(sa)->sin_addr, buf, sizeof buf);
    } else if (sa->sa_family == AF_INET6) {
        inet_ntop(AF_INET6, &reinterpret_cast<const sockaddr_in6*>(sa)->sin6_addr, buf, sizeof buf);
    }
    return buf;
}

// One asynchronous lookup. When it cannot be cancelled in time the request
// still belongs to the resolver thread, so it is deliberately leaked rather
// than freed under its feet.
struct Lookup {
    std::string host;
    addrinfo hints{};
    gaicb cb{};
};

}  // namespace

bool IsDottedAddress(const std::string& host) {
    if (host.empty()) return false;
    for (char c : host)
        if (!(c == '.' || (c >= '0' && c <= '9'))) return false;
    return true;
}

Resolver SystemResolver(Millis bound) {
    return [bound](const std::string& host) -> std::vector<std::string> {
        std::vector<std::string> out;
        if (host.empty()) return out;
        auto lk = std::make_unique<Lookup>();
        lk->host = host;
        lk->hints.ai_family = AF_UNSPEC;
        lk->hints.ai_socktype = SOCK_STREAM;
        // No AI_ADDRCONFIG: on a machine with only loopback it would hide
        // localhost's own addresses.
        lk->cb.ar_name = lk->host.c_str();
        lk->cb.ar_request = &lk->hints;
        gaicb* list[1] = {&lk->cb};
        if (getaddrinfo_a(GAI_NOWAIT, list, 1, nullptr) != 0) return out;
        timespec ts{};
        ts.tv_sec = static_cast<time_t>(bound.count() / 1000);
        ts.tv_nsec = static_cast<long>((bound.count() % 1000) * 1000000);
        const gaicb* wait[1] = {&lk->cb};
        int rc = gai_suspend(wait, 1, &ts);
        while (rc == EAI_INTR) rc = gai_suspend(wait, 1, &ts);
        int err = gai_error(&lk->cb);
        if (err == EAI_INPROGRESS) {
            if (gai_cancel(&lk->cb) != EAI_CANCELED) {
                (void)lk.release();  // still owned by the resolver thread
                return out;
            }
            return out;
        }
        if (err != 0 || !lk->cb.ar_result) return out;
        for (addrinfo* ai = lk->cb.ar_result; ai; ai = ai->ai_next) {
            std::string a = AddressText(ai->ai_addr);
            if (a.empty()) continue;
            bool seen = false;
            for (const auto& x : out) seen = seen || x == a;
            if (!seen) out.push_back(a);
        }
        freeaddrinfo(lk->cb.ar_result);
        return out;
    };
}

Resolver TableResolver(std::vector<std::pair<std::string, std::vector<std::string>>> table) {
    return [table = std::move(table)](const std::string& host) {
        for (const auto& [name, addrs] : table)
            if (strcasecmp(name.c_str(), host.c_str()) == 0) return addrs;
        return std::vector<std::string>{};
    };
}

Resolver HostsFileResolver(std::string path) {
    return [path = std::move(path)](const std::string& host) {
        std::vector<std::string> out;
        std::ifstream in(path);
        std::string line;
        while (std::getline(in, line)) {
            line = line.substr(0, line.find('#'));
            std::istringstream words(line);
            std::string address, name;
            if (!(words >> address)) continue;
            while (words >> name) {
                if (strcasecmp(name.c_str(), host.c_str()) == 0) {
                    out.push_back(address);
                    break;
                }
            }
        }
        return out;
    };
}

}  // namespace platform
