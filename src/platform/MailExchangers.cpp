#include "platform/MailExchangers.h"

#include <arpa/inet.h>
#include <arpa/nameser.h>
#include <netinet/in.h>
#include <poll.h>
#include <resolv.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstring>

#include "platform/Files.h"

namespace platform {
namespace {

using Kind = MxAnswer::Kind;

struct Server {
    sockaddr_storage addr{};
    socklen_t len = 0;
};

// "a.b.c.d", "a.b.c.d:port", "::1" or "[::1]:port"; false when it is none.
bool ParseServer(const std::string& text, Server& out) {
    std::string host = text;
    int port = 53;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size() && text[close + 1] == ':')
            port = std::atoi(text.c_str() + close + 2);
    } else if (std::count(text.begin(), text.end(), ':') == 1) {
        host = text.substr(0, text.find(':'));
        port = std::atoi(text.c_str() + text.find(':') + 1);
    }
    if (port <= 0 || port > 65535) return false;
    auto* v4 = reinterpret_cast<sockaddr_in*>(&out.addr);
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&out.addr);
    if (inet_pton(AF_INET, host.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<std::uint16_t>(port));
        out.len = sizeof *v4;
        return true;
    }
    if (inet_pton(AF_INET6, host.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<std::uint16_t>(port));
        out.len = sizeof *v6;
        return true;
    }
    return false;
}

// The answer to `query` from one server within `limit`; its length, or -1.
int Ask(const Server& server, const unsigned char* query, int qlen, unsigned char* answer, int size,
        Millis limit) {
    UniqueFd fd(::socket(server.addr.ss_family, SOCK_DGRAM | SOCK_CLOEXEC, 0));
    if (!fd ||
        ::connect(fd.get(), reinterpret_cast<const sockaddr*>(&server.addr), server.len) != 0)
        return -1;
    if (::send(fd.get(), query, static_cast<std::size_t>(qlen), 0) != qlen) return -1;
    const auto until = std::chrono::steady_clock::now() + limit;
    for (;;) {
        const auto left =
            std::chrono::duration_cast<Millis>(until - std::chrono::steady_clock::now());
        if (left.count() <= 0) return -1;
        pollfd p{fd.get(), POLLIN, 0};
        const int ready = ::poll(&p, 1, static_cast<int>(left.count()));
        if (ready < 0 && errno == EINTR) continue;
        if (ready <= 0) return -1;
        const ssize_t n = ::recv(fd.get(), answer, static_cast<std::size_t>(size), 0);
        if (n < 0) return -1;
        // Only the answer to this query counts (same id).
        if (n >= 2 && answer[0] == query[0] && answer[1] == query[1]) return static_cast<int>(n);
    }
}

MxAnswer Parse(const unsigned char* answer, int len) {
    MxAnswer out;
    ns_msg msg;
    if (ns_initparse(answer, len, &msg) < 0) {
        out.detail = "a broken answer";
        return out;
    }
    const int rcode = ns_msg_getflag(msg, ns_f_rcode);
    if (rcode == ns_r_nxdomain) {
        out.kind = Kind::NoDomain;
        return out;
    }
    if (rcode != ns_r_noerror) {
        out.detail = "the name server answered with code " + std::to_string(rcode);
        return out;
    }
    std::vector<std::pair<int, std::string>> found;
    for (int i = 0; i < ns_msg_count(msg, ns_s_an); ++i) {
        ns_rr rr;
        if (ns_parserr(&msg, ns_s_an, i, &rr) < 0 || ns_rr_type(rr) != ns_t_mx ||
            ns_rr_rdlen(rr) < 3)
            continue;
        char name[NS_MAXDNAME];
        if (dn_expand(ns_msg_base(msg), ns_msg_end(msg), ns_rr_rdata(rr) + 2, name, sizeof name) <
            0)
            continue;
        found.emplace_back(ns_get16(ns_rr_rdata(rr)), name);
    }
    std::stable_sort(found.begin(), found.end(),
                     [](const auto& a, const auto& b) { return a.first < b.first; });
    for (auto& [pref, host] : found)
        if (!host.empty() && host != ".") out.hosts.push_back(std::move(host));
    out.kind = !out.hosts.empty() ? Kind::Found : found.empty() ? Kind::None : Kind::NullMx;
    return out;
}

class SystemMx final : public MailExchangers {
  public:
    SystemMx(Millis bound, std::string nameServer)
        : bound_(bound), nameServer_(std::move(nameServer)) {}

    MxAnswer Lookup(const std::string& domain) override {
        MxAnswer out;
        struct __res_state state {};
        if (domain.empty() || domain.size() > 253 || res_ninit(&state) != 0) {
            out.detail = "no name server to ask";
            return out;
        }
        unsigned char query[NS_PACKETSZ];
        const int qlen = res_nmkquery(&state, ns_o_query, domain.c_str(), ns_c_in, ns_t_mx, nullptr,
                                      0, nullptr, query, sizeof query);
        std::vector<Server> servers = Servers(state);
        res_nclose(&state);
        if (qlen <= 0 || servers.empty()) {
            out.detail = qlen <= 0 ? "the name cannot be asked for" : "no name server to ask";
            return out;
        }
        out.detail = "no answer within " + std::to_string(bound_.count()) + " ms";
        const Millis each = bound_ / static_cast<int>(servers.size());
        for (const Server& s : servers) {
            unsigned char answer[NS_PACKETSZ * 4];
            const int n = Ask(s, query, qlen, answer, sizeof answer, each);
            if (n < 0) continue;
            out = Parse(answer, n);
            if (out.kind != Kind::Failed) return out;
        }
        return out;
    }

  private:
    std::vector<Server> Servers(const struct __res_state& state) const {
        std::vector<Server> out;
        Server one;
        if (!nameServer_.empty()) {
            if (ParseServer(nameServer_, one)) out.push_back(one);
            return out;
        }
        for (int i = 0; i < state.nscount; ++i) {
            Server s;
            std::memcpy(&s.addr, &state.nsaddr_list[i], sizeof state.nsaddr_list[i]);
            s.len = sizeof state.nsaddr_list[i];
            if (state.nsaddr_list[i].sin_family == AF_INET) out.push_back(s);
        }
        return out;
    }

    Millis bound_;
    std::string nameServer_;
};

class NoMx final : public MailExchangers {
  public:
    MxAnswer Lookup(const std::string&) override {
        MxAnswer out;
        out.kind = Kind::None;
        return out;
    }
};

}  // namespace

std::unique_ptr<MailExchangers> SystemMailExchangers(Millis bound, std::string nameServer) {
    return std::make_unique<SystemMx>(bound, std::move(nameServer));
}

std::unique_ptr<MailExchangers> NoMailExchangers() {
    return std::make_unique<NoMx>();
}

}  // namespace platform
