#include "companion/web/Server.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <microhttpd.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "companion/web/App.h"
#include "platform/Text.h"

namespace web {
namespace {

constexpr unsigned kMaxConnections = 64;
constexpr unsigned kIdleSeconds = 30;  // a connection that says nothing is closed
constexpr int kSdListenFdsStart = 3;

// What arrives for one request over the library's calls.
struct Pending {
    Request req;
    bool tooLarge = false;
};

MHD_Result AddField(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* fields = static_cast<Fields*>(cls);
    if (key) fields->emplace(platform::Lower(key), value ? value : "");
    return MHD_YES;
}

MHD_Result AddArgument(void* cls, MHD_ValueKind, const char* key, const char* value) {
    auto* fields = static_cast<Fields*>(cls);
    if (key) fields->emplace(key, value ? value : "");
    return MHD_YES;
}

// Headers every answer carries: nothing is framed, sniffed, cached or sent
// on to another site, and only this server's own script and style run. The
// referrer policy lets this site see its own addresses: under "no-referrer" a
// browser sends a form's Origin as "null", which the Origin check refuses.
void AddSafetyHeaders(MHD_Response* r, bool cacheable) {
    MHD_add_response_header(r, "Content-Security-Policy",
                            "default-src 'none'; script-src 'self'; style-src 'self'; "
                            "img-src 'self'; connect-src 'self'; form-action 'self'; "
                            "frame-ancestors 'none'; base-uri 'none'");
    MHD_add_response_header(r, "X-Content-Type-Options", "nosniff");
    MHD_add_response_header(r, "X-Frame-Options", "DENY");
    MHD_add_response_header(r, "Referrer-Policy", "same-origin");
    if (!cacheable) MHD_add_response_header(r, "Cache-Control", "no-store");
}

MHD_Result Send(MHD_Connection* c, const Response& res) {
    MHD_Response* r = MHD_create_response_from_buffer(
        res.body.size(), const_cast<char*>(res.body.data()), MHD_RESPMEM_MUST_COPY);
    if (!r) return MHD_NO;
    MHD_add_response_header(r, "Content-Type", res.contentType.c_str());
    bool cacheable = false;
    for (const auto& [name, value] : res.headers) {
        MHD_add_response_header(r, name.c_str(), value.c_str());
        if (platform::EqualsNoCase(name, "Cache-Control")) cacheable = true;
    }
    AddSafetyHeaders(r, cacheable);
    const MHD_Result ok = MHD_queue_response(c, static_cast<unsigned>(res.status), r);
    MHD_destroy_response(r);
    return ok;
}

MHD_Result OnRequest(void* cls, MHD_Connection* c, const char* url, const char* method, const char*,
                     const char* upload, size_t* uploadSize, void** state) {
    auto* pending = static_cast<Pending*>(*state);
    if (!pending) {
        pending = new Pending;
        pending->req.method = method;
        pending->req.path = url;
        MHD_get_connection_values(c, MHD_HEADER_KIND, AddField, &pending->req.headers);
        MHD_get_connection_values(c, MHD_GET_ARGUMENT_KIND, AddArgument, &pending->req.query);
        *state = pending;
        return MHD_YES;
    }
    if (*uploadSize > 0) {
        if (pending->req.body.size() + *uploadSize > kMaxBody)
            pending->tooLarge = true;
        else
            pending->req.body.append(upload, *uploadSize);
        *uploadSize = 0;
        return MHD_YES;
    }
    auto* server = static_cast<Server*>(cls);
    if (pending->tooLarge) return Send(c, Response::Text(413, "request too large\n"));
    return Send(c, server->Answer(pending->req));
}

void OnCompleted(void*, MHD_Connection*, void** state, MHD_RequestTerminationCode) {
    delete static_cast<Pending*>(*state);
    *state = nullptr;
}

bool IsLoopback(const sockaddr_storage& ss) {
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        return (ntohl(in->sin_addr.s_addr) >> 24) == 127;
    }
    if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        return IN6_IS_ADDR_LOOPBACK(&in6->sin6_addr);
    }
    return false;
}

}  // namespace

std::string Listener::Url() const {
    const bool v6 = address.find(':') != std::string::npos;
    return "http://" + (v6 ? "[" + address + "]" : address) + ":" + std::to_string(port);
}

platform::Status Describe(Listener& l) {
    sockaddr_storage ss{};
    socklen_t len = sizeof ss;
    if (::getsockname(l.fd.get(), reinterpret_cast<sockaddr*>(&ss), &len) != 0)
        return platform::ErrnoStatus(platform::Fail::Io, "getsockname");
    char buf[INET6_ADDRSTRLEN] = {};
    if (ss.ss_family == AF_INET) {
        const auto* in = reinterpret_cast<const sockaddr_in*>(&ss);
        ::inet_ntop(AF_INET, &in->sin_addr, buf, sizeof buf);
        l.port = ntohs(in->sin_port);
    } else if (ss.ss_family == AF_INET6) {
        const auto* in6 = reinterpret_cast<const sockaddr_in6*>(&ss);
        ::inet_ntop(AF_INET6, &in6->sin6_addr, buf, sizeof buf);
        l.port = ntohs(in6->sin6_port);
    } else {
        return platform::Status::Error(platform::Fail::Format, "not a TCP socket");
    }
    l.address = buf;
    l.loopback = IsLoopback(ss);
    return platform::Status::Ok();
}

platform::Result<Listener> ListenOn(const std::string& address, int port) {
    sockaddr_storage ss{};
    socklen_t len = 0;
    auto* in = reinterpret_cast<sockaddr_in*>(&ss);
    auto* in6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (::inet_pton(AF_INET, address.c_str(), &in->sin_addr) == 1) {
        in->sin_family = AF_INET;
        in->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in);
    } else if (::inet_pton(AF_INET6, address.c_str(), &in6->sin6_addr) == 1) {
        in6->sin6_family = AF_INET6;
        in6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in6);
    } else {
        return platform::Status::Error(platform::Fail::Format,
                                       "\"" + address + "\" is not an IPv4 or IPv6 address");
    }
    Listener l;
    l.fd = platform::UniqueFd(::socket(ss.ss_family, SOCK_STREAM | SOCK_CLOEXEC, 0));
    if (!l.fd) return platform::ErrnoStatus(platform::Fail::Io, "socket");
    int one = 1;
    ::setsockopt(l.fd.get(), SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (ss.ss_family == AF_INET6)
        ::setsockopt(l.fd.get(), IPPROTO_IPV6, IPV6_V6ONLY, &one, sizeof one);
    if (::bind(l.fd.get(), reinterpret_cast<sockaddr*>(&ss), len) != 0)
        return platform::ErrnoStatus(platform::Fail::Rejected, "cannot listen on " + address +
                                                                   " port " + std::to_string(port));
    if (::listen(l.fd.get(), 16) != 0) return platform::ErrnoStatus(platform::Fail::Io, "listen");
    if (auto st = Describe(l); !st) return st;
    return l;
}

platform::Result<Listener> InheritedListener() {
    const char* pid = std::getenv("LISTEN_PID");
    const char* fds = std::getenv("LISTEN_FDS");
    if (!pid || !fds || std::atol(pid) != static_cast<long>(::getpid()) || std::atoi(fds) < 1)
        return platform::Status::Error(platform::Fail::NotFound, "no socket handed over");
    // Children (runs, reprints) must not take the socket for their own.
    ::unsetenv("LISTEN_PID");
    ::unsetenv("LISTEN_FDS");
    ::unsetenv("LISTEN_FDNAMES");
    ::fcntl(kSdListenFdsStart, F_SETFD, FD_CLOEXEC);
    Listener l;
    l.fd = platform::UniqueFd(kSdListenFdsStart);
    if (auto st = Describe(l); !st) return st;
    return l;
}

std::vector<HostPort> AllowedHosts(const Listener& l, const std::vector<std::string>& extraNames) {
    std::vector<HostPort> hosts;
    const bool v6 = l.address.find(':') != std::string::npos;
    hosts.push_back({platform::Lower(v6 ? "[" + l.address + "]" : l.address), l.port});
    if (l.loopback) hosts.push_back({"localhost", l.port});
    for (const std::string& name : extraNames) {
        if (auto hp = ParseHostHeader(name, l.port)) hosts.push_back(*hp);
    }
    return hosts;
}

Server::Server(platform::EventLoop& loop, App& app) : loop_(loop), app_(app) {}

Server::~Server() {
    if (watch_) loop_.Unwatch(watch_);
    if (timer_) loop_.Cancel(timer_);
    if (daemon_) MHD_stop_daemon(daemon_);
}

Response Server::Answer(const Request& req) {
    ++requests_;
    return app_.Handle(req);
}

platform::Status Server::Start(Listener& listener) {
    daemon_ = MHD_start_daemon(
        MHD_USE_EPOLL | MHD_USE_ERROR_LOG, 0, nullptr, nullptr, &OnRequest, this,
        MHD_OPTION_LISTEN_SOCKET, static_cast<MHD_socket>(listener.fd.get()),
        MHD_OPTION_CONNECTION_LIMIT, kMaxConnections, MHD_OPTION_CONNECTION_TIMEOUT, kIdleSeconds,
        MHD_OPTION_NOTIFY_COMPLETED, &OnCompleted, nullptr, MHD_OPTION_END);
    if (!daemon_)
        return platform::Status::Error(platform::Fail::Internal, "the HTTP library did not start");
    listener.fd.Release();  // the library closes it when it stops
    const MHD_DaemonInfo* info = MHD_get_daemon_info(daemon_, MHD_DAEMON_INFO_EPOLL_FD);
    if (!info)
        return platform::Status::Error(platform::Fail::Internal, "the HTTP library has no epoll");
    watch_ = loop_.Watch(info->epoll_fd, POLLIN, [this](short) { RunLibrary(); });
    RunLibrary();
    return platform::Status::Ok();
}

// The library does what is ready, then says when it next needs a turn even
// if nothing happens (a connection's time-out).
void Server::RunLibrary() {
    MHD_run(daemon_);
    if (timer_) loop_.Cancel(timer_);
    timer_ = 0;
    MHD_UNSIGNED_LONG_LONG ms = 0;
    if (MHD_get_timeout(daemon_, &ms) == MHD_YES) {
        timer_ = loop_.After(platform::Millis(static_cast<long long>(ms)), [this] {
            timer_ = 0;
            RunLibrary();
        });
    }
}

}  // namespace web
