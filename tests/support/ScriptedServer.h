#pragma once
// A scriptable TCP server on loopback that runs on the test's own event loop,
// so a client under test and its server take turns in one thread. On a manual
// clock a pause costs no real time, and a server that has nothing to say is
// silent as soon as poll() finds nothing ready. Each accepted connection
// plays the script from the start. Protocol-neutral: steps send text, expect
// lines, capture raw data, pause, fall silent, close, stop reading, or flood
// the client.
#include <cstddef>
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"
#include "platform/EventLoop.h"

namespace testsupport {

class ScriptedServer {
  public:
    // Listens on address:port; port 0 picks a free one. Check listening().
    explicit ScriptedServer(platform::EventLoop& loop, std::string address = "127.0.0.1",
                            int port = 0);
    ~ScriptedServer();
    ScriptedServer(const ScriptedServer&) = delete;
    ScriptedServer& operator=(const ScriptedServer&) = delete;

    bool listening() const { return listenFd_ >= 0; }
    int port() const { return port_; }
    const std::string& address() const { return address_; }

    // --- script steps, played in order ---
    ScriptedServer& Send(std::string text);
    // Sends text, then waits `gap` before the next step: the client sees the
    // next text as a separate arrival.
    ScriptedServer& SendPartial(std::string text, platform::Millis gap = platform::Millis(50));
    ScriptedServer& Pause(platform::Millis d);
    // Waits for one line (up to LF, line end stripped) matching the ECMAScript
    // regex (search). A mismatch is recorded in failures() and the connection
    // is closed.
    ScriptedServer& Expect(std::string regex);
    // Collects raw bytes up to and including `terminator` into captures().
    ScriptedServer& Capture(std::string terminator);
    // Stays connected, reads and discards everything, never answers.
    ScriptedServer& GoSilent();
    ScriptedServer& Close();
    // From here on reads at most n more bytes, then stops reading altogether.
    ScriptedServer& AcceptOnly(std::size_t n);
    // Sends `total` bytes of `fill` (no line end) as fast as the client takes
    // them; total 0 means without end. The script goes on meanwhile.
    ScriptedServer& Flood(std::size_t total, char fill = 'x');
    // Once what was sent before has left, speaks TLS as a server with this
    // certificate and key (PEM files): the upgrade after STLS or STARTTLS, or
    // implicit TLS as the first step. What the client sent in clear and the
    // script did not read is dropped. A failed handshake is a failure.
    ScriptedServer& StartTls(std::string certFile, std::string keyFile);

    // --- what happened ---
    int connections() const { return connections_; }
    const std::vector<std::string>& lines() const { return lines_; }  // all lines received
    const std::vector<std::string>& captures() const { return captures_; }
    const std::vector<std::string>& failures() const { return failures_; }
    std::size_t bytesReceived() const { return bytesReceived_; }
    std::size_t bytesFlooded() const { return bytesFlooded_; }
    // True once a connection played its script to the last step.
    bool finished() const { return finished_; }
    // Connections that are still open.
    int openConnections() const;

  private:
    struct Step;
    struct Conn;
    void OnAccept();
    void OnConn(Conn& c, short re);
    void Advance(Conn& c);
    void Flush(Conn& c);
    void CloseConn(Conn& c);
    void Rewatch(Conn& c);
    bool Handshake(Conn& c);
    long Read(Conn& c, char* buf, std::size_t room);

    platform::EventLoop& loop_;
    std::string address_;
    int port_ = 0;
    int listenFd_ = -1;
    platform::WatchId listenWatch_ = 0;
    std::vector<Step> steps_;
    std::vector<std::unique_ptr<Conn>> conns_;
    int connections_ = 0;
    std::vector<std::string> lines_, captures_, failures_;
    std::size_t bytesReceived_ = 0;
    std::size_t bytesFlooded_ = 0;
    bool finished_ = false;
};

}  // namespace testsupport
