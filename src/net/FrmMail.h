#pragma once
// The mail form: the two sockets (SMTP and POP), the shared socket state that
// their event handlers write and the waiting code reads, and the two timers
// whose ticks bound every network wait. One tick lasts the environment's tick
// length (60 s unless VOXAFAX_TICK_MS says otherwise).
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "net/Outcomes.h"
#include "platform/EventLoop.h"
#include "platform/Socket.h"

namespace config {
struct NodeConfig;
struct Options;
}  // namespace config
namespace platform {
struct Environment;
class Log;
}  // namespace platform

namespace net {

// Values of gSocketState.
enum SocketStateValue : std::int16_t {
    kSockIdle = 10,      // idle; also: data has arrived
    kSockWritable = 12,  // the socket reported it can take more data
    kSockResolving = 100,
    kSockConnecting = 110,
    kSockConnected = 120,  // connected, greeting not yet read
    kSockAwaitReply = 210,
    kSockAwaitWrite = 300,
};

// A minute of the network timers in their own milliseconds: SetTimerInterval
// makes it one tick of the environment.
inline constexpr std::int32_t kTimerMinuteMs = 60000;

// What the socket layer takes from the run: no more than it uses.
struct NetServices {
    platform::EventLoop& loop;
    platform::SocketFactory& sockets;
    const platform::Environment& env;  // the tick; where options.ini is
    config::Options& options;          // ports and TLS of each side
    const config::NodeConfig& cfg;     // general_timout
    platform::Log& log;                // for the clients' dialogue lines
};

class FrmMail {
  public:
    explicit FrmMail(const NetServices& services);
    ~FrmMail();
    FrmMail(const FrmMail&) = delete;
    FrmMail& operator=(const FrmMail&) = delete;

    platform::EventLoop& loop() { return s_.loop; }
    platform::Log& log() { return s_.log; }
    const platform::Environment& env() const { return s_.env; }
    config::Options& options() { return s_.options; }
    const config::Options& options() const { return s_.options; }
    // How many ticks a reply wait allows: general_timout + 1.
    std::int32_t TimeoutTicks() const;
    platform::Socket& SMTPSocket() { return *smtpSocket_; }
    platform::Socket& POPSocket() { return *popSocket_; }

    // A yield inside a network wait: blocks in the event loop until an event
    // arrives or a timer is due.
    void WaitYield();

    // Shared socket state.
    std::int16_t gSocketState = kSockIdle;
    // The reply in hand, whole: one line on the POP side, every line of one
    // reply on the SMTP side ("250-..." up to "250 ..."). A data event that
    // completes a reply while one is awaited (gSocketState kSockConnected or
    // kSockAwaitReply) puts it here and sets gSocketState idle; pieces wait.
    std::string PortIn;
    std::int32_t gSMTP_Error = kSmtpOk;  // an SmtpOutcome or the socket's own code
    std::int32_t gPOP_Error = kPopOk;    // a PopOutcome or the socket's own code
    std::int32_t gSMTPSocketError = 0;
    std::string gSMTPSocketErrorString;
    std::string gInBuffer;  // a copy of the SMTP side's PortIn
    bool gMailTimerFired = false;
    bool gPOPTimerFired = false;
    std::int32_t gTimerInterval = kTimerMinuteMs;  // of each SMTP wait cycle
    std::int32_t gReadLen = 0;
    bool gCollectInput = false;
    bool gflgPOPConnected = false;
    std::string gPOPSockErrDescr;

    platform::Timer MailTimer;
    platform::Timer POPTimer;
    // Sets a timer to `timerMs` milliseconds of the timers' own clock:
    // kTimerMinuteMs means one tick of the environment.
    void SetTimerInterval(platform::Timer& timer, std::int32_t timerMs);

    // The POP client's reply wait; OpenConnection uses it for port 110.
    std::function<bool(std::int16_t doState)> POPTimout;

    // Hands over the side's next whole reply if one has arrived and one is
    // awaited; true when it did. The waits call it, for a reply that arrived
    // before they began.
    bool DeliverReply(int side);
    // Forgets what arrived on the side and is not yet a reply handed over:
    // what arrives before a command is sent is no reply to it.
    void DropPending(int side);
    // DropPending, and the reply in hand too: before a TLS upgrade nothing
    // received in clear may remain.
    void DropUnread(int side);
    // Bytes that arrived on the side and wait to complete a reply.
    const std::string& Pending(int side) const;
    // Takes what is pending on the side and what its socket holds: for a
    // client that reads an answer itself (gCollectInput).
    std::string TakeArrived(int side, std::size_t maxLength);

    // Event handlers, wired to the sockets.
    void SMTPSocket_Connect();
    void SMTPSocket_Disconnect();
    void SMTPSocket_Error(int code, const std::string& description);
    void SMTPSocket_Read(std::size_t length);
    void SMTPSocket_Write();
    void POPSocket_Connect();
    void POPSocket_Disconnect();
    void POPSocket_Error(int code, const std::string& description);
    void POPSocket_Read(std::size_t length);
    void POPSocket_Write();
    void MailTimer_Timer();
    void POPTimer_Timer();

  private:
    std::string& PendingOf(int side);
    const NetServices s_;  // references: cheap to hold by value
    std::string smtpPending_;
    std::string popPending_;
    std::unique_ptr<platform::Socket> smtpSocket_;
    std::unique_ptr<platform::Socket> popSocket_;
};

}  // namespace net
