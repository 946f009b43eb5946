#pragma once
// The HTTP server on the companion's event loop: the library parses HTTP on
// a listening socket handed to it and is run from the loop whenever its
// epoll descriptor is ready or its time-out is due, so requests, child jobs
// and timers share one thread.
#include <memory>
#include <string>
#include <vector>

#include "companion/web/Http.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Result.h"

struct MHD_Daemon;

namespace web {

class App;

// Where a listening socket listens.
struct Listener {
    platform::UniqueFd fd;
    std::string address;  // "127.0.0.1", "::1", ...
    int port = 0;
    bool loopback = false;
    std::string Url() const;  // "http://127.0.0.1:8786"
};

// Binds and listens on address:port (port 0: one the kernel chooses).
platform::Result<Listener> ListenOn(const std::string& address, int port);
// The socket a systemd socket unit handed over (LISTEN_FDS, fd 3), if any.
platform::Result<Listener> InheritedListener();
// What a Listener was given as: its address and port from the socket.
platform::Status Describe(Listener& l);

// The names under which a browser may reach the listener: its address and
// port, "localhost" for a loopback one, and `extraNames` (host names a user
// named).
std::vector<HostPort> AllowedHosts(const Listener& l, const std::vector<std::string>& extraNames);

class Server {
  public:
    Server(platform::EventLoop& loop, App& app);
    ~Server();
    Server(const Server&) = delete;
    Server& operator=(const Server&) = delete;

    // Serves on the listener (the server takes its descriptor).
    platform::Status Start(Listener& listener);
    // Requests answered so far (for the idle exit of a socket-activated server).
    unsigned long Requests() const { return requests_; }

    // Hands one request to the application; public for the library's callbacks.
    Response Answer(const Request& req);

  private:
    void RunLibrary();

    platform::EventLoop& loop_;
    App& app_;
    MHD_Daemon* daemon_ = nullptr;
    platform::WatchId watch_ = 0;
    platform::TimerId timer_ = 0;
    unsigned long requests_ = 0;
};

}  // namespace web
