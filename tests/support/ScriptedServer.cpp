#include "tests/support/ScriptedServer.h"

#include <arpa/inet.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <regex>

namespace testsupport {

struct ScriptedServer::Step {
    enum Kind { Send, Pause, Expect, Capture, Silent, Close, AcceptOnly, Flood, Tls } kind;
    explicit Step(Kind k, std::string t = {}) : kind(k), text(std::move(t)) {}
    std::string text;
    std::string key;
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
    SSL_CTX* tlsCtx = nullptr;
    SSL* ssl = nullptr;
    bool handshaking = false;
    bool wantWrite = false;  // the handshake waits until it can write
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
ScriptedServer& ScriptedServer::StartTls(std::string certFile, std::string keyFile) {
    Step s(Step::Tls, std::move(certFile));
    s.key = std::move(keyFile);
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
    if (!c.out.empty() || c.flooding || c.wantWrite) ev |= POLLOUT;
    loop_.Modify(c.watch, ev);
}

void ScriptedServer::CloseConn(Conn& c) {
    if (c.pause) loop_.Cancel(c.pause);
    c.pause = 0;
    if (c.watch) loop_.Unwatch(c.watch);
    c.watch = 0;
    if (c.ssl) SSL_free(c.ssl);
    c.ssl = nullptr;
    if (c.tlsCtx) SSL_CTX_free(c.tlsCtx);
    c.tlsCtx = nullptr;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
}

// Moves the server side of a handshake on; false while it is not done (or
// when it failed: the connection is closed then).
bool ScriptedServer::Handshake(Conn& c) {
    ERR_clear_error();
    const int rc = SSL_accept(c.ssl);
    c.wantWrite = false;
    if (rc == 1) {
        c.handshaking = false;
        Rewatch(c);
        return true;
    }
    const int e = SSL_get_error(c.ssl, rc);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
        c.wantWrite = e == SSL_ERROR_WANT_WRITE;
        Rewatch(c);
        return false;
    }
    char text[256] = "";
    ERR_error_string_n(ERR_get_error(), text, sizeof text);
    failures_.push_back(std::string("TLS handshake failed: ") + text);
    CloseConn(c);
    return false;
}

// Reads what the client sent, through TLS once it is on: the count, 0 at the
// end of the stream, -1 when nothing is there now, -2 on an error.
long ScriptedServer::Read(Conn& c, char* buf, std::size_t room) {
    if (!c.ssl) {
        const ssize_t n = ::recv(c.fd, buf, room, MSG_DONTWAIT);
        if (n < 0) return errno == EAGAIN || errno == EINTR ? -1 : -2;
        return n;
    }
    ERR_clear_error();
    const int n = SSL_read(c.ssl, buf, static_cast<int>(room));
    if (n > 0) return n;
    const int e = SSL_get_error(c.ssl, n);
    if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) return -1;
    return e == SSL_ERROR_ZERO_RETURN ? 0 : -2;
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
        if (c.out.empty() || c.handshaking) break;
        const ssize_t n =
            c.ssl ? SSL_write(c.ssl, c.out.data(), static_cast<int>(c.out.size()))
                  : ::send(c.fd, c.out.data(), c.out.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
        if (n <= 0) break;
        c.out.erase(0, static_cast<std::size_t>(n));
    }
    Rewatch(c);
}

void ScriptedServer::OnConn(Conn& c, short re) {
    if (c.fd < 0) return;
    if (c.handshaking) {
        if (Handshake(c)) Advance(c);
        return;
    }
    if (re & POLLOUT) {
        Flush(c);
        if (c.out.empty()) Advance(c);  // a TLS step may wait for the data to leave
    }
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
        bool got = false;
        for (;;) {
            const long n = Read(c, buf, room);
            if (n == 0 || n == -2) {
                CloseConn(c);
                return;
            }
            if (n < 0) break;
            got = true;
            bytesReceived_ += static_cast<std::size_t>(n);
            if (c.limited) c.readLeft -= static_cast<std::size_t>(n);
            if (!c.silent) c.in.append(buf, static_cast<std::size_t>(n));
            // TLS may hold more decrypted data than poll() will announce.
            if (!c.ssl || SSL_pending(c.ssl) == 0) break;
            if (c.limited) room = std::min(room, c.readLeft);
            if (room == 0) break;
        }
        if (got) {
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
            case Step::Tls: {
                if (!c.out.empty()) return;  // what goes in clear leaves first
                c.in.clear();
                c.tlsCtx = SSL_CTX_new(TLS_server_method());
                if (!c.tlsCtx ||
                    SSL_CTX_use_certificate_chain_file(c.tlsCtx, s.text.c_str()) != 1 ||
                    SSL_CTX_use_PrivateKey_file(c.tlsCtx, s.key.c_str(), SSL_FILETYPE_PEM) != 1) {
                    failures_.push_back("TLS: cannot load " + s.text + " and " + s.key);
                    CloseConn(c);
                    return;
                }
                SSL_CTX_set_mode(
                    c.tlsCtx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
                c.ssl = SSL_new(c.tlsCtx);
                SSL_set_fd(c.ssl, c.fd);
                c.handshaking = true;
                ++c.step;
                if (!Handshake(c)) return;
                break;
            }
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
