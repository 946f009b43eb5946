#pragma once
// Sockets that never connect, for tests and fuzz targets in which nothing may
// leave the process: every receipt then stays queued in Out/.
#include <memory>
#include <string>

#include "platform/Socket.h"

namespace platform {

class DeadSocket final : public Socket {
  public:
    void SetHandlers(SocketHandlers) override {}
    void SetTls(TlsSettings) override {}
    std::string SetHostName(const std::string&) override { return {}; }
    void SetHostAddress(const std::string&) override {}
    std::string HostAddress() const override { return {}; }
    int Connect(int) override { return 10061; }
    void Disconnect() override {}
    void StartTls(TlsSettings) override {}
    bool Connected() const override { return false; }
    bool IsWritable() const override { return false; }
    bool IsReadable() const override { return false; }
    int RecvNext() const override { return 0; }
    long Write(std::string_view) override { return -1; }
    std::string Receive(std::size_t) override { return {}; }
};

class DeadSockets final : public SocketFactory {
  public:
    std::unique_ptr<Socket> Create(EventLoop&) override { return std::make_unique<DeadSocket>(); }
};

}  // namespace platform
