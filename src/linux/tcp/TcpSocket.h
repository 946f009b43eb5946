#pragma once
// The real socket: non-blocking TCP on the event loop, with implicit TLS
// (OpenSSL) when asked. Every address a name resolves to is tried in turn; a
// TLS handshake that fails (certificate not trusted, name or address not
// matching) is reported like a connection that could not be made.
#include <memory>

#include "linux/tcp/Resolver.h"
#include "platform/Socket.h"

namespace platform {

class TcpSocketFactory final : public SocketFactory {
  public:
    // The default resolver is the system's, bounded by `resolveBound`.
    explicit TcpSocketFactory(Millis resolveBound = Millis(60000));
    explicit TcpSocketFactory(Resolver resolver);
    ~TcpSocketFactory() override;

    std::unique_ptr<Socket> Create(EventLoop& loop) override;

    // At most this many received bytes wait in a socket for the client; past
    // it the socket stops reading until the client takes data.
    static constexpr std::size_t kMaxBuffered = 1 << 20;

  private:
    Resolver resolver_;
    std::shared_ptr<void> tlsState_;  // the shared TLS client context, made on first use
};

}  // namespace platform
