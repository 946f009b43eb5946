#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

namespace testsupport {

struct ScriptedServer::Step {
    enum Kind { Send, Pause, Expect, Capture, Silent, Close, AcceptOnly, Flood } kind;
    explicit Step(Kind k, std::string t = {}) : kind(k), text(std::move(t)) {}
    std::string text;
    platform::Millis ms{0};
    std::size_t n = 0;
};

struct ScriptedServer::Conn {
    int fd = -1;
    platform::WatchId watch = 0;
    platform::TimerId pause = 0;
    std::size_t step = 0;
    std::string in, out;
    bool limited = false;
    std::size_t readLeft = 0;
    bool flooding = false;
    bool endless = false;
    std::size_t floodLeft = 0;
    char fill = 'x';
    bool silent = false;
};

ScriptedServer::ScriptedServer(platform::EventLoop& loop, std::string address, int port)
    : loop_(loop), address_(std::move(address)) {
    sockaddr_in sa{};
    sa.sin_family = AF_INET;
    sa.sin_port = htons(static_cast<uint16_t>(port));
    if (inet_pton(AF_INET, address_.c_str(), &sa.sin_addr) != 1) return;
    int fd = ::socket(AF_INET, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return;
    int one = 1;
    ::setsockopt(fd, SOL_SOCKET, SO_REUSEADDR, &one, sizeof one);
    if (::bind(fd, reinterpret_cast<sockaddr*>(&sa), sizeof sa) != 0 || ::listen(fd, 16) != 0) {
        ::close(fd);
        return;
    }
    socklen_t len = sizeof sa;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sa), &len);
    port_ = ntohs(sa.sin_port);
    listenFd_ = fd;
    listenWatch_ = loop_.Watch(fd, POLLIN, [this](short) { OnAccept(); });
}

ScriptedServer::~ScriptedServer() {
    for (auto& c : conns_) CloseConn(*c);
    if (listenWatch_) loop_.Unwatch(listenWatch_);
    if (listenFd_ >= 0) ::close(listenFd_);
}

ScriptedServer& ScriptedServer::Send(std::string text) {
    steps_.push_back(Step(Step::Send, std::move(text)));
    return *this;
}
ScriptedServer& ScriptedServer::SendPartial(std::string text, platform::Millis gap) {
    Send(std::move(text));
    return Pause(gap);
}
ScriptedServer& ScriptedServer::Pause(platform::Millis d) {
    Step s(Step::Pause);
    s.ms = d;
    steps_.push_back(s);
    return *this;
}
ScriptedServer& ScriptedServer::Expect(std::string regex) {
    steps_.push_back(Step(Step::Expect, std::move(regex)));
    return *this;
}
ScriptedServer& ScriptedServer::Capture(std::string terminator) {
    steps_.push_back(Step(Step::Capture, std::move(terminator)));
    return *this;
}
ScriptedServer& ScriptedServer::GoSilent() {
    steps_.push_back(Step(Step::Silent));
    return *this;
}
ScriptedServer& ScriptedServer::Close() {
    steps_.push_back(Step(Step::Close));
    return *this;
}
ScriptedServer& ScriptedServer::AcceptOnly(std::size_t n) {
    Step s(Step::AcceptOnly);
    s.n = n;
    steps_.push_back(s);
    return *this;
}
ScriptedServer& ScriptedServer::Flood(std::size_t total, char fill) {
    Step s(Step::Flood, std::string(1, fill));
    s.n = total;
    steps_.push_back(s);
    return *this;
}

int ScriptedServer::openConnections() const {
    int n = 0;
    for (const auto& c : conns_) n += c->fd >= 0;
    return n;
}

void ScriptedServer::OnAccept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) return;
        // Every write leaves at once. With Nagle's algorithm a small write
        // could wait for the client's delayed acknowledgement: real time that
        // a test on a manual clock never lets pass.
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        ++connections_;
        auto c = std::make_unique<Conn>();
        c->fd = fd;
        Conn* raw = c.get();
        c->watch = loop_.Watch(fd, POLLIN, [this, raw](short re) { OnConn(*raw, re); });
        conns_.push_back(std::move(c));
        Advance(*raw);
    }
}

void ScriptedServer::Rewatch(Conn& c) {
    if (!c.watch) return;
    short ev = 0;
    if (!c.limited || c.readLeft > 0) ev |= POLLIN;
    if (!c.out.empty() || c.flooding) ev |= POLLOUT;
    loop_.Modify(c.watch, ev);
}

void ScriptedServer::CloseConn(Conn& c) {
    if (c.pause) loop_.Cancel(c.pause);
    c.pause = 0;
    if (c.watch) loop_.Unwatch(c.watch);
    c.watch = 0;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

void ScriptedServer::Flush(Conn& c) {
    while (c.fd >= 0) {
        if (c.out.empty() && c.flooding) {
            std::size_t chunk = 64 * 1024;
            if (!c.endless) {
                chunk = std::min(chunk, c.floodLeft);
                c.floodLeft -= chunk;
                if (chunk == 0) c.flooding = false;
            }
            c.out.assign(chunk, c.fill);
            bytesFlooded_ += chunk;
        }
        if (c.out.empty()) break;
        ssize_t n = ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    Rewatch(c);
}

void ScriptedServer::OnConn(Conn& c, short re) {
    if (c.fd < 0) return;
    if (re & POLLOUT) Flush(c);
    if (c.fd < 0) return;
    if (re & (POLLIN | POLLHUP | POLLERR)) {
        char buf[16 * 1024];
        std::size_t room = sizeof buf;
        if (c.limited) room = std::min(room, c.readLeft);
        if (room == 0) {
            // Not reading any more: a hang-up would be reported for ever.
            if (re & (POLLHUP | POLLERR)) CloseConn(c);
            return;
        }
        ssize_t n = ::recv(c.fd, buf, room, MSG_DONTWAIT);
        if (n == 0 || (n < 0 && errno != EAGAIN && errno != EINTR)) {
            CloseConn(c);
            return;
        }
        if (n > 0) {
            bytesReceived_ += static_cast<std::size_t>(n);
            if (c.limited) c.readLeft -= static_cast<std::size_t>(n);
            if (!c.silent) c.in.append(buf, static_cast<std::size_t>(n));
            Rewatch(c);
            Advance(c);
        }
    }
}

void ScriptedServer::Advance(Conn& c) {
    while (c.fd >= 0 && !c.pause && c.step < steps_.size()) {
        const Step& s = steps_[c.step];
        switch (s.kind) {
            case Step::Send:
                c.out += s.text;
                Flush(c);
                ++c.step;
                break;
            case Step::Pause:
                c.pause = loop_.After(s.ms, [this, &c] {
                    c.pause = 0;
                    ++c.step;
                    Advance(c);
                });
                return;
            case Step::Expect: {
                auto lf = c.in.find('\n');
                if (lf == std::string::npos) return;
                std::string line = c.in.substr(0, lf);
                c.in.erase(0, lf + 1);
                if (!line.empty() && line.back() == '\r') line.pop_back();
                lines_.push_back(line);
                if (!std::regex_search(line, std::regex(s.text))) {
                    failures_.push_back("expected /" + s.text + "/, got: " + line);
                    CloseConn(c);
                    return;
                }
                ++c.step;
                break;
            }
            case Step::Capture: {
                auto at = c.in.find(s.text);
                if (at == std::string::npos) return;
                captures_.push_back(c.in.substr(0, at + s.text.size()));
                c.in.erase(0, at + s.text.size());
                ++c.step;
                break;
            }
            case Step::Silent:
                c.silent = true;
                c.in.clear();
                return;  // the script ends here; the connection stays
            case Step::Close:
                ++c.step;
                finished_ = c.step >= steps_.size() || finished_;
                CloseConn(c);
                return;
            case Step::AcceptOnly:
                c.limited = true;
                c.readLeft = s.n;
                Rewatch(c);
                ++c.step;
                break;
            case Step::Flood:
                c.flooding = true;
                c.endless = s.n == 0;
                c.floodLeft = s.n;
                c.fill = s.text[0];
                Flush(c);
                ++c.step;
                break;
        }
    }
    if (c.step >= steps_.size()) finished_ = true;
}

}  // namespace testsupport
