#pragma once
// An asynchronous TCP client socket on the event loop, with the members and
// events that the mail clients rely on: connect, write returning the accepted
// count, write-readiness, data, error and disconnect events. TLS is optional,
// from the start (implicit) or as an upgrade of an open connection. Events are
// delivered only while the event loop runs, never within a call.
#include <cstddef>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "platform/Result.h"

namespace platform {

class EventLoop;

struct SocketHandlers {
    // The connection is ready for data: after Connect (and the implicit TLS
    // handshake), and again after StartTls's handshake.
    std::function<void()> onConnect;
    std::function<void(std::size_t length)> onData;  // data is waiting; Receive() takes it
    std::function<void()> onWrite;                   // the socket can take more data
    // code: an errno value, never below 8 (the mail protocols keep their own
    // outcomes in -1 to 7 of the same variable); description: what failed,
    // for a person ("Connection refused", "certificate not trusted for ...").
    std::function<void(int code, const std::string& description)> onError;
    std::function<void()> onDisconnect;
};

struct TlsSettings {
    bool enabled = false;    // implicit TLS: the handshake follows the connect
    std::string serverName;  // checked against the certificate; "" = the host name used
    // Authorities trusted besides the system's: a PEM file of certificates
    // and a folder of hashed certificates ("" = none).
    std::string caFile;
    std::string caPath;
    // What a person sets to trust the server; a failure to verify its
    // certificate ends with it ("set [pop3] ca_file in ...").
    std::string trustHint;
};

class Socket {
  public:
    virtual ~Socket() = default;
    virtual void SetHandlers(SocketHandlers handlers) = 0;
    virtual void SetTls(TlsSettings tls) = 0;

    // Resolves a name (dotted addresses are taken as they are). Never blocks
    // the loop for longer than one tick. Empty result when it cannot resolve.
    virtual std::string SetHostName(const std::string& host) = 0;
    virtual void SetHostAddress(const std::string& address) = 0;
    virtual std::string HostAddress() const = 0;

    // 0: the attempt was started (onConnect or onError follows, also when it
    // fails at once); else a failure code.
    virtual int Connect(int port) = 0;
    virtual void Disconnect() = 0;
    // Upgrades the open connection to TLS, once the server agreed to it
    // (STLS, STARTTLS). Bytes received in clear and not yet taken are
    // dropped: they are no part of the secured stream, and a client that read
    // them as the server's next reply would take an injected line for it.
    // onConnect follows the handshake; onError (the connection closed) tells
    // a failure, also that of a socket that was not open.
    virtual void StartTls(TlsSettings tls) = 0;
    virtual bool Connected() const = 0;
    virtual bool IsWritable() const = 0;
    virtual bool IsReadable() const = 0;
    // Bytes received and not yet taken by Receive (0 when none).
    virtual int RecvNext() const = 0;
    // Offers the data; returns how many bytes were accepted, or -1 on failure.
    virtual long Write(std::string_view data) = 0;
    // Takes up to maxLength bytes of the data received.
    virtual std::string Receive(std::size_t maxLength) = 0;
};

class SocketFactory {
  public:
    virtual ~SocketFactory() = default;
    virtual std::unique_ptr<Socket> Create(EventLoop& loop) = 0;
};

}  // namespace platform
