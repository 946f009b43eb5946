#pragma once
// A socket for tests that never touches the network: the test decides how
// much of each write is accepted, what arrives and when the peer goes away.
// Events are delivered on the event loop's next turn, as real ones are.
#include <deque>
#include <functional>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Socket.h"

namespace platform {

class FakeSocket final : public Socket {
  public:
    explicit FakeSocket(EventLoop& loop) : loop_(loop) {}
    ~FakeSocket() override;

    // --- controls ---
    int connectResult = 0;  // what Connect returns; 0 = success
    int connectError = 0;   // when set, the started connect fails by an error event
    std::string connectErrorText;
    std::string greeting;            // arrives right after a successful connect
    std::deque<long> writeLimits;    // per Write: bytes accepted at most (-1 fails)
    bool notifyAfterPartial = true;  // raise onWrite after a partial write
    bool writable = true;
    // When set, StartTls fails by an error event with this code and text.
    int tlsError = 0;
    std::string tlsErrorText;
    // Called with the bytes each Write accepted; may call Arrive() to answer.
    std::function<void(FakeSocket&, const std::string&)> respond;

    void Arrive(std::string data);
    void PeerClose();
    void RaiseError(int code, std::string text);
    void RaiseWrite();

    // --- observations ---
    std::string written;              // every byte accepted, in order
    std::vector<std::string> offers;  // the data of every Write call
    std::string host;
    int connects = 0;
    int lastPort = 0;
    TlsSettings tls;
    int tlsStarts = 0;
    std::string unreadAtTls;  // what StartTls dropped, of the last upgrade

    // --- Socket ---
    void SetHandlers(SocketHandlers handlers) override { h_ = std::move(handlers); }
    void SetTls(TlsSettings t) override { tls = std::move(t); }
    std::string SetHostName(const std::string& name) override;
    void SetHostAddress(const std::string& address) override { host = address; }
    std::string HostAddress() const override { return host; }
    int Connect(int port) override;
    void Disconnect() override { connected_ = false; }
    void StartTls(TlsSettings t) override;
    bool Connected() const override { return connected_; }
    bool IsWritable() const override { return connected_ && writable; }
    bool IsReadable() const override { return !rbuf_.empty(); }
    int RecvNext() const override { return static_cast<int>(rbuf_.size()); }
    long Write(std::string_view data) override;
    std::string Receive(std::size_t maxLength) override;

    // Names SetHostName resolves (to the name itself); others fail.
    std::vector<std::string> knownNames;

  private:
    void Later(std::function<void()> fn);
    EventLoop& loop_;
    SocketHandlers h_;
    bool connected_ = false;
    std::string rbuf_;
    std::vector<TimerId> pending_;
};

class FakeSocketFactory final : public SocketFactory {
  public:
    std::function<void(FakeSocket&)> setup;  // applied to every socket made
    std::vector<FakeSocket*> made;           // owned by whoever took them
    std::unique_ptr<Socket> Create(EventLoop& loop) override;
};

}  // namespace platform
