#include "tests/fakes/FakeSocket.h"

#include <algorithm>
#include <cerrno>
#include <memory>

namespace platform {

FakeSocket::~FakeSocket() {
    for (TimerId id : pending_) loop_.Cancel(id);
}

void FakeSocket::Later(std::function<void()> fn) {
    auto id = std::make_shared<TimerId>(0);
    *id = loop_.After(Millis(0), [this, fn = std::move(fn), id] {
        pending_.erase(std::remove(pending_.begin(), pending_.end(), *id), pending_.end());
        fn();
    });
    pending_.push_back(*id);
}

void FakeSocket::Arrive(std::string data) {
    // Data sent before a TLS upgrade is dropped by it, however late it comes.
    Later([this, data = std::move(data), epoch = tlsStarts] {
        if (epoch != tlsStarts) {
            unreadAtTls += data;
            return;
        }
        rbuf_ += data;
        if (h_.onData) h_.onData(rbuf_.size());
    });
}

void FakeSocket::PeerClose() {
    Later([this] {
        connected_ = false;
        if (h_.onDisconnect) h_.onDisconnect();
    });
}

void FakeSocket::RaiseError(int code, std::string text) {
    Later([this, code, text = std::move(text)] {
        if (h_.onError) h_.onError(code, text);
    });
}

void FakeSocket::RaiseWrite() {
    Later([this] {
        if (h_.onWrite) h_.onWrite();
    });
}

std::string FakeSocket::SetHostName(const std::string& name) {
    host = std::find(knownNames.begin(), knownNames.end(), name) != knownNames.end() ? name : "";
    return host;
}

int FakeSocket::Connect(int port) {
    ++connects;
    lastPort = port;
    if (connectResult != 0) return connectResult;
    rbuf_.clear();
    if (connectError != 0) {
        RaiseError(connectError, connectErrorText);
        return 0;
    }
    Later([this] {
        connected_ = true;
        if (h_.onConnect) h_.onConnect();
    });
    if (!greeting.empty()) Arrive(greeting);
    return 0;
}

void FakeSocket::StartTls(TlsSettings t) {
    ++tlsStarts;
    tls = std::move(t);
    tls.enabled = true;
    unreadAtTls = std::move(rbuf_);
    rbuf_.clear();
    if (!connected_ || tlsError != 0) {
        connected_ = false;
        const int code = tlsError != 0 ? tlsError : EPROTO;
        RaiseError(code, tlsErrorText.empty() ? "TLS handshake failed" : tlsErrorText);
        return;
    }
    // The handshake takes the socket away from the client until it is done.
    connected_ = false;
    Later([this] {
        connected_ = true;
        if (h_.onConnect) h_.onConnect();
    });
}

long FakeSocket::Write(std::string_view data) {
    offers.emplace_back(data);
    if (!connected_) return -1;
    long n = static_cast<long>(data.size());
    if (!writeLimits.empty()) {
        long limit = writeLimits.front();
        writeLimits.pop_front();
        if (limit < 0) return -1;
        n = std::min(n, limit);
    }
    std::string accepted(data.substr(0, static_cast<std::size_t>(n)));
    written += accepted;
    if (static_cast<std::size_t>(n) < data.size() && notifyAfterPartial) RaiseWrite();
    if (respond) respond(*this, accepted);
    return n;
}

std::string FakeSocket::Receive(std::size_t maxLength) {
    std::size_t n = std::min(maxLength, rbuf_.size());
    std::string out = rbuf_.substr(0, n);
    rbuf_.erase(0, n);
    return out;
}

std::unique_ptr<Socket> FakeSocketFactory::Create(EventLoop& loop) {
    auto s = std::make_unique<FakeSocket>(loop);
    if (setup) setup(*s);
    made.push_back(s.get());
    return s;
}

}  // namespace platform
