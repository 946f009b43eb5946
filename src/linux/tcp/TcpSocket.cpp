#include "linux/tcp/TcpSocket.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <csignal>
#include <cstring>
#include <map>

#include "platform/EventLoop.h"

namespace platform {
namespace {

constexpr std::size_t kReadChunk = 16 * 1024;
constexpr std::size_t kMaxPerEvent = 64 * 1024;

// The failure code a TLS handshake reports: there is no errno for "the
// certificate was not accepted".
constexpr int kTlsFailure = EPROTO;

// The code an error event carries. Callers keep it where the mail protocols
// keep their own outcome codes (-1 to 7); the few errno values in that range
// are reported as their nearest neighbour outside it.
int EventCode(int err) {
    switch (err) {
        case EPERM:
            return EACCES;  // a local firewall rule refused the connection
        case EIO:
            return ECONNRESET;
        default:
            return err >= 8 ? err : ECONNABORTED;
    }
}

std::string TlsErrorText();

// The TLS client contexts, one per set of extra trusted authorities, each
// made when the first connection needs it so that SSL_CERT_FILE /
// SSL_CERT_DIR are read as they stand then.
struct TlsContextHolder {
    struct Entry {
        SSL_CTX* ctx = nullptr;
        std::string error;
    };
    std::map<std::pair<std::string, std::string>, Entry> contexts;
    ~TlsContextHolder() {
        for (auto& [key, e] : contexts)
            if (e.ctx) SSL_CTX_free(e.ctx);
    }
    // The context for these settings; null with `error` set when it cannot be made.
    SSL_CTX* Get(const TlsSettings& tls, std::string& error) {
        Entry& e = contexts[{tls.caFile, tls.caPath}];
        if (!e.ctx && e.error.empty()) e.ctx = Make(tls, e.error);
        error = e.error;
        return e.ctx;
    }

  private:
    static SSL_CTX* Make(const TlsSettings& tls, std::string& error) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_client_method());
        if (!ctx) {
            error = "cannot create the TLS context";
            return nullptr;
        }
        SSL_CTX_set_min_proto_version(ctx, TLS1_2_VERSION);
        SSL_CTX_set_default_verify_paths(ctx);
        // The extra authorities are added to the system's, not put in their place.
        if (!tls.caFile.empty() || !tls.caPath.empty()) {
            ERR_clear_error();
            if (SSL_CTX_load_verify_locations(
                    ctx, tls.caFile.empty() ? nullptr : tls.caFile.c_str(),
                    tls.caPath.empty() ? nullptr : tls.caPath.c_str()) != 1) {
                error = "cannot read the trusted certificates in " +
                        (tls.caFile.empty() ? tls.caPath : tls.caFile) + " (" + TlsErrorText() +
                        ")";
                SSL_CTX_free(ctx);
                return nullptr;
            }
        }
        SSL_CTX_set_verify(ctx, SSL_VERIFY_PEER, nullptr);
        SSL_CTX_set_mode(ctx, SSL_MODE_ENABLE_PARTIAL_WRITE | SSL_MODE_ACCEPT_MOVING_WRITE_BUFFER);
        // A peer that closes without close_notify ends the stream like one
        // that sends it: POP3 and SMTP frame their own data, so a cut-off
        // reply shows as such, and many servers just close.
        SSL_CTX_set_options(ctx, SSL_OP_IGNORE_UNEXPECTED_EOF);
        return ctx;
    }
};

std::string TlsErrorText() {
    std::string text;
    unsigned long e;
    while ((e = ERR_get_error()) != 0) {
        char buf[256];
        ERR_error_string_n(e, buf, sizeof buf);
        if (!text.empty()) text += "; ";
        text += buf;
    }
    return text;
}

bool ParseAddress(const std::string& text, int port, sockaddr_storage& ss, socklen_t& len) {
    std::memset(&ss, 0, sizeof ss);
    auto* v4 = reinterpret_cast<sockaddr_in*>(&ss);
    if (inet_pton(AF_INET, text.c_str(), &v4->sin_addr) == 1) {
        v4->sin_family = AF_INET;
        v4->sin_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in);
        return true;
    }
    auto* v6 = reinterpret_cast<sockaddr_in6*>(&ss);
    if (inet_pton(AF_INET6, text.c_str(), &v6->sin6_addr) == 1) {
        v6->sin6_family = AF_INET6;
        v6->sin6_port = htons(static_cast<uint16_t>(port));
        len = sizeof(sockaddr_in6);
        return true;
    }
    return false;
}

bool IsIpLiteral(const std::string& host) {
    in6_addr a6;
    in_addr a4;
    return inet_pton(AF_INET, host.c_str(), &a4) == 1 ||
           inet_pton(AF_INET6, host.c_str(), &a6) == 1;
}

class TcpSocket final : public Socket {
  public:
    TcpSocket(EventLoop& loop, Resolver resolver, std::shared_ptr<TlsContextHolder> tls)
        : loop_(loop), resolver_(std::move(resolver)), tlsHolder_(std::move(tls)) {}
    ~TcpSocket() override {
        CancelKick();
        if (deferred_) loop_.Cancel(deferred_);
        CloseFd();
    }

    void SetHandlers(SocketHandlers handlers) override { h_ = std::move(handlers); }
    void SetTls(TlsSettings tls) override { tls_ = std::move(tls); }

    std::string SetHostName(const std::string& host) override {
        hostName_ = host;
        if (IsDottedAddress(host) || IsIpLiteral(host))
            addrs_ = {host};
        else
            addrs_ = resolver_ ? resolver_(host) : std::vector<std::string>{};
        return HostAddress();
    }
    void SetHostAddress(const std::string& address) override {
        hostName_ = address;
        addrs_.clear();
        if (!address.empty()) addrs_.push_back(address);
    }
    std::string HostAddress() const override { return addrs_.empty() ? std::string() : addrs_[0]; }

    int Connect(int port) override {
        if (deferred_) loop_.Cancel(deferred_);
        deferred_ = 0;
        CloseFd();
        rbuf_.clear();
        peerClosed_ = false;
        port_ = port;
        next_ = 0;
        firstErr_ = 0;
        if (addrs_.empty()) return EDESTADDRREQ;
        if (StartNextAttempt() != 0) {
            // Every address failed at once (no route, refused on the spot):
            // told like a connection refused a moment later, so that the
            // caller learns the reason the same way in both cases.
            const unsigned gen = generation_;
            deferred_ = loop_.After(Millis(0), [this, gen] {
                deferred_ = 0;
                if (gen == generation_) ReportConnectFailure();
            });
        }
        return 0;
    }

    void Disconnect() override {
        if (ssl_ && phase_ == Phase::Open) SSL_shutdown(ssl_);  // best effort, never waits
        CloseFd();
    }

    void StartTls(TlsSettings tls) override {
        const bool wasClear = phase_ == Phase::Open && !ssl_;
        tls_ = std::move(tls);
        tls_.enabled = true;
        // What came in clear is dropped, taken or not; none of it can be
        // part of the handshake, whose first bytes are ours.
        rbuf_.clear();
        CancelKick();
        if (wasClear) DrainClear();
        std::string error = "TLS: the connection is not open";
        if (!wasClear || !PrepareTls(error)) {
            if (wasClear) error = "TLS: " + error;
            CloseFd();
            return TellLater(kTlsFailure, error);
        }
        // The handshake begins on the loop's next turn, so that its outcome
        // is never told within this call.
        phase_ = Phase::Handshaking;
        wantWriteNotice_ = false;
        handshakeWants_ = POLLOUT;
        UpdateWatch();
    }

    bool Connected() const override { return phase_ == Phase::Open; }

    bool IsWritable() const override {
        if (phase_ != Phase::Open || fd_ < 0) return false;
        pollfd p{fd_, POLLOUT, 0};
        return ::poll(&p, 1, 0) == 1 && (p.revents & POLLOUT) && !(p.revents & (POLLERR | POLLHUP));
    }

    bool IsReadable() const override { return RecvNext() > 0; }

    int RecvNext() const override {
        std::size_t n = rbuf_.size();
        if (fd_ >= 0 && phase_ == Phase::Open) {
            if (ssl_) {
                n += static_cast<std::size_t>(SSL_pending(ssl_));
            } else {
                int avail = 0;
                if (::ioctl(fd_, FIONREAD, &avail) == 0 && avail > 0)
                    n += static_cast<std::size_t>(avail);
            }
        }
        return n > INT_MAX ? INT_MAX : static_cast<int>(n);
    }

    long Write(std::string_view data) override {
        if (phase_ != Phase::Open || fd_ < 0) return -1;
        if (data.empty()) return 0;
        long sent;
        if (ssl_) {
            ERR_clear_error();
            int len = data.size() > static_cast<std::size_t>(INT_MAX)
                          ? INT_MAX
                          : static_cast<int>(data.size());
            int n = SSL_write(ssl_, data.data(), len);
            if (n > 0) {
                sent = n;
            } else {
                int e = SSL_get_error(ssl_, n);
                if (e != SSL_ERROR_WANT_WRITE && e != SSL_ERROR_WANT_READ) return -1;
                sent = 0;
            }
        } else {
            ssize_t n = ::send(fd_, data.data(), data.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
            if (n < 0) {
                if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) return -1;
                n = 0;
            }
            sent = static_cast<long>(n);
        }
        if (static_cast<std::size_t>(sent) < data.size()) {
            // Tell the client once the socket can take more.
            wantWriteNotice_ = true;
            UpdateWatch();
        }
        return sent;
    }

    std::string Receive(std::size_t maxLength) override {
        std::size_t n = std::min(maxLength, rbuf_.size());
        std::string out = rbuf_.substr(0, n);
        rbuf_.erase(0, n);
        UpdateWatch();
        // TLS may hold decrypted bytes the fd will never announce again.
        if (ssl_ && phase_ == Phase::Open && SSL_pending(ssl_) > 0 &&
            rbuf_.size() < TcpSocketFactory::kMaxBuffered)
            Kick();
        return out;
    }

  private:
    enum class Phase { Idle, Connecting, Handshaking, Open };

    // Starts connecting to addrs_[next_...]; returns 0 when an attempt is
    // under way, else the errno of the first address that failed.
    int StartNextAttempt() {
        while (next_ < addrs_.size()) {
            const std::string& addr = addrs_[next_++];
            sockaddr_storage ss;
            socklen_t len = 0;
            if (!ParseAddress(addr, port_, ss, len)) {
                NoteAttemptFailed(EINVAL);
                continue;
            }
            int fd = ::socket(ss.ss_family, SOCK_STREAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
            if (fd < 0) {
                NoteAttemptFailed(errno);
                continue;
            }
            int one = 1;
            ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
            if (::connect(fd, reinterpret_cast<sockaddr*>(&ss), len) != 0 && errno != EINPROGRESS) {
                NoteAttemptFailed(errno);
                ::close(fd);
                continue;
            }
            fd_ = fd;
            phase_ = Phase::Connecting;
            watch_ = loop_.Watch(fd_, POLLOUT, [this](short re) { OnEvent(re); });
            return 0;
        }
        return firstErr_ ? firstErr_ : ECONNREFUSED;
    }

    // Reads and drops what the kernel holds for the socket now.
    void DrainClear() {
        char buf[4096];
        while (::recv(fd_, buf, sizeof buf, MSG_DONTWAIT) > 0) {
        }
    }

    // An error event on the loop's next turn, unless the socket is used
    // again meanwhile.
    void TellLater(int code, std::string text) {
        if (deferred_) loop_.Cancel(deferred_);
        const unsigned gen = generation_;
        deferred_ = loop_.After(Millis(0), [this, gen, code, text = std::move(text)] {
            deferred_ = 0;
            if (gen == generation_ && h_.onError) h_.onError(code, text);
        });
    }

    void NoteAttemptFailed(int err) {
        if (firstErr_ == 0) firstErr_ = err;
    }

    // No address took the connection: the first one's reason is told, as
    // the preferred address's failure is the one a person can act on.
    void ReportConnectFailure() {
        const int err = firstErr_ ? firstErr_ : ECONNREFUSED;
        if (h_.onError) h_.onError(EventCode(err), std::strerror(err));
    }

    void CloseFd() {
        if (watch_) loop_.Unwatch(watch_);
        watch_ = 0;
        if (ssl_) SSL_free(ssl_);
        ssl_ = nullptr;
        if (fd_ >= 0) ::close(fd_);
        fd_ = -1;
        phase_ = Phase::Idle;
        wantWriteNotice_ = false;
        ++generation_;
    }

    void Kick() {
        if (kick_) return;
        kick_ = loop_.After(Millis(0), [this] {
            kick_ = 0;
            if (phase_ == Phase::Open) OnEvent(POLLIN);
        });
    }
    void CancelKick() {
        if (kick_) loop_.Cancel(kick_);
        kick_ = 0;
    }

    // Watches the fd for what the socket wants now. A socket that wants
    // nothing (its buffer is full) is not watched at all: poll() would keep
    // reporting a hang-up and the loop would spin.
    void UpdateWatch() {
        if (fd_ < 0) return;
        short ev = 0;
        switch (phase_) {
            case Phase::Connecting:
                ev = POLLOUT;
                break;
            case Phase::Handshaking:
                ev = handshakeWants_;
                break;
            case Phase::Open:
                if (!peerClosed_ && rbuf_.size() < TcpSocketFactory::kMaxBuffered) ev |= POLLIN;
                if (wantWriteNotice_) ev |= POLLOUT;
                break;
            case Phase::Idle:
                break;
        }
        if (ev == 0) {
            if (watch_) loop_.Unwatch(watch_);
            watch_ = 0;
        } else if (!watch_) {
            watch_ = loop_.Watch(fd_, ev, [this](short re) { OnEvent(re); });
        } else {
            loop_.Modify(watch_, ev);
        }
    }

    void Fail(int code, const std::string& text) {
        CloseFd();
        if (h_.onError) h_.onError(code, text);
    }

    void OnEvent(short re) {
        switch (phase_) {
            case Phase::Connecting:
                return OnConnecting();
            case Phase::Handshaking:
                return ContinueHandshake();
            case Phase::Open:
                return OnOpen(re);
            case Phase::Idle:
                return;
        }
    }

    void OnConnecting() {
        int err = 0;
        socklen_t len = sizeof err;
        if (::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &err, &len) != 0) err = errno;
        if (err == 0) {
            // POLLOUT can come with the connection not yet made on some
            // kernels; getpeername tells for sure.
            sockaddr_storage ss;
            socklen_t sl = sizeof ss;
            if (::getpeername(fd_, reinterpret_cast<sockaddr*>(&ss), &sl) != 0) err = ENOTCONN;
        }
        if (err != 0) {
            NoteAttemptFailed(err);
            CloseFd();
            if (StartNextAttempt() != 0) ReportConnectFailure();
            return;
        }
        if (tls_.enabled) return StartHandshake();
        phase_ = Phase::Open;
        UpdateWatch();
        if (h_.onConnect) h_.onConnect();
    }

    // Makes the TLS object for the open fd; false (and the reason in
    // `error`) when it cannot.
    bool PrepareTls(std::string& error) {
        SSL_CTX* ctx = tlsHolder_->Get(tls_, error);
        if (!ctx) return false;
        ssl_ = SSL_new(ctx);
        if (!ssl_) {
            error = TlsErrorText();
            return false;
        }
        SSL_set_fd(ssl_, fd_);
        const std::string expected = ExpectedName();
        if (IsIpLiteral(expected)) {
            X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(ssl_), expected.c_str());
        } else {
            SSL_set_tlsext_host_name(ssl_, expected.c_str());
            SSL_set1_host(ssl_, expected.c_str());
        }
        return true;
    }

    std::string ExpectedName() const {
        return tls_.serverName.empty() ? hostName_ : tls_.serverName;
    }

    void StartHandshake() {
        std::string error;
        if (!PrepareTls(error)) return Fail(kTlsFailure, "TLS: " + error);
        phase_ = Phase::Handshaking;
        ContinueHandshake();
    }

    void ContinueHandshake() {
        ERR_clear_error();
        int rc = SSL_connect(ssl_);
        if (rc == 1) {
            phase_ = Phase::Open;
            UpdateWatch();
            if (h_.onConnect) h_.onConnect();
            return;
        }
        int e = SSL_get_error(ssl_, rc);
        if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) {
            handshakeWants_ = e == SSL_ERROR_WANT_READ ? POLLIN : POLLOUT;
            UpdateWatch();
            return;
        }
        // The verification result names what a person must fix; OpenSSL's
        // error queue only adds which call failed.
        const std::string expected = ExpectedName();
        const long vr = SSL_get_verify_result(ssl_);
        std::string text;
        if (vr != X509_V_OK) {
            text = "certificate not trusted for " + expected + ": " +
                   X509_verify_cert_error_string(vr);
            if (!tls_.trustHint.empty()) text += "; " + tls_.trustHint;
        } else {
            text = "TLS handshake with " + expected + " failed";
            const std::string more = TlsErrorText();
            if (!more.empty()) text += " (" + more + ")";
        }
        Fail(kTlsFailure, text);
    }

    void OnOpen(short re) {
        const unsigned gen = generation_;
        if ((re & POLLOUT) && wantWriteNotice_) {
            wantWriteNotice_ = false;
            UpdateWatch();
            if (h_.onWrite) h_.onWrite();
            if (gen != generation_) return;
        }
        if (re & (POLLIN | POLLHUP | POLLERR)) ReadSome(re);
    }

    // What one read event brought: bytes, the end of the stream, an error.
    struct Reading {
        std::size_t got = 0;
        bool eof = false;
        int err = 0;
        std::string errText;
    };

    // Reads what is there into rbuf_, within its bound and the event's.
    Reading ReadAvailable() {
        Reading r;
        char buf[kReadChunk];
        while (r.got < kMaxPerEvent && rbuf_.size() < TcpSocketFactory::kMaxBuffered) {
            std::size_t room = std::min(sizeof buf, TcpSocketFactory::kMaxBuffered - rbuf_.size());
            if (ssl_) {
                ERR_clear_error();
                int n = SSL_read(ssl_, buf, static_cast<int>(room));
                if (n > 0) {
                    rbuf_.append(buf, static_cast<std::size_t>(n));
                    r.got += static_cast<std::size_t>(n);
                    continue;
                }
                int e = SSL_get_error(ssl_, n);
                if (e == SSL_ERROR_WANT_READ || e == SSL_ERROR_WANT_WRITE) break;
                if (e == SSL_ERROR_ZERO_RETURN ||
                    (e == SSL_ERROR_SYSCALL && ERR_peek_error() == 0 && errno == 0)) {
                    r.eof = true;
                } else if (e == SSL_ERROR_SYSCALL && errno != 0) {
                    r.err = errno;
                    r.errText = std::strerror(errno);
                } else {
                    r.err = kTlsFailure;
                    r.errText = "TLS: " + TlsErrorText();
                }
                break;
            }
            ssize_t n = ::recv(fd_, buf, room, MSG_DONTWAIT);
            if (n > 0) {
                rbuf_.append(buf, static_cast<std::size_t>(n));
                r.got += static_cast<std::size_t>(n);
                if (static_cast<std::size_t>(n) < room) break;
                continue;
            }
            if (n == 0) {
                r.eof = true;
            } else if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR) {
                r.err = errno;
                r.errText = std::strerror(errno);
            }
            break;
        }
        return r;
    }

    void ReadSome(short re) {
        const unsigned gen = generation_;
        Reading r = ReadAvailable();
        if (!r.eof && r.err == 0 && r.got == 0 && (re & POLLERR)) {
            int soerr = 0;
            socklen_t len = sizeof soerr;
            ::getsockopt(fd_, SOL_SOCKET, SO_ERROR, &soerr, &len);
            r.err = soerr ? soerr : ECONNRESET;
            r.errText = std::strerror(r.err);
        }
        if (r.eof || r.err) {
            peerClosed_ = true;
            if (watch_) loop_.Unwatch(watch_);
            watch_ = 0;
        } else {
            UpdateWatch();
        }
        if (r.got > 0 && h_.onData) {
            h_.onData(rbuf_.size());
            if (gen != generation_) return;
        }
        if (ssl_ && !r.eof && !r.err && SSL_pending(ssl_) > 0 &&
            rbuf_.size() < TcpSocketFactory::kMaxBuffered)
            Kick();
        if (!r.err && !r.eof) return;
        // Keep what was received for Receive; the connection is over.
        std::string keep = std::move(rbuf_);
        CloseFd();
        rbuf_ = std::move(keep);
        if (r.err && h_.onError)
            h_.onError(EventCode(r.err), r.errText);
        else if (!r.err && h_.onDisconnect)
            h_.onDisconnect();
    }

    EventLoop& loop_;
    Resolver resolver_;
    std::shared_ptr<TlsContextHolder> tlsHolder_;
    SocketHandlers h_;
    TlsSettings tls_;
    std::string hostName_;
    std::vector<std::string> addrs_;
    std::size_t next_ = 0;
    int port_ = 0;
    int fd_ = -1;
    WatchId watch_ = 0;
    TimerId kick_ = 0;
    TimerId deferred_ = 0;  // a connect failure to be told on the loop's next turn
    int firstErr_ = 0;      // why the first address of this connect failed
    SSL* ssl_ = nullptr;
    Phase phase_ = Phase::Idle;
    short handshakeWants_ = POLLOUT;
    std::string rbuf_;
    bool wantWriteNotice_ = false;
    bool peerClosed_ = false;
    unsigned generation_ = 0;
};

}  // namespace

TcpSocketFactory::TcpSocketFactory(Millis resolveBound)
    : TcpSocketFactory(SystemResolver(resolveBound)) {}

TcpSocketFactory::TcpSocketFactory(Resolver resolver)
    : resolver_(std::move(resolver)), tlsState_(std::make_shared<TlsContextHolder>()) {
    // OpenSSL writes to the socket with write(): a peer that has gone away
    // must give EPIPE, not end the program.
    std::signal(SIGPIPE, SIG_IGN);
}

TcpSocketFactory::~TcpSocketFactory() = default;

std::unique_ptr<Socket> TcpSocketFactory::Create(EventLoop& loop) {
    return std::make_unique<TcpSocket>(loop, resolver_,
                                       std::static_pointer_cast<TlsContextHolder>(tlsState_));
}

}  // namespace platform
