#include "pop/PopLink.h"

#include <algorithm>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "pop/PopReply.h"

namespace pop {
namespace {

// Data taken from the socket at once while collecting: bounds the memory of
// a download whatever the message size.
constexpr std::size_t kMaxArrival = 256 * 1024;

// Shorter secrets are not masked in server text: every "1" in a reply would
// become "****" for the password "1", and such a password is no secret anyway.
constexpr std::size_t kMaskedSecretLength = 4;

// The command as the debug log shows it: what proves the logon masked.
std::string Shown(std::string line) {
    line = line.substr(0, line.find('\r'));
    for (const char* lead : {"PASS ", "AUTH PLAIN ", "AUTH XOAUTH2 "})
        if (line.rfind(lead, 0) == 0) return std::string(lead) + "****";
    return line;
}

}  // namespace

PopLink::PopLink(const PopServices& services, net::FrmMail& form) : s_(services), form_(form) {}

PopLink::~PopLink() {
    if (deadlineTimer_) s_.loop.Cancel(deadlineTimer_);
}

platform::SteadyTime PopLink::Now() const {
    return s_.loop.clock().Now();
}

platform::Millis PopLink::Ticks(std::int64_t n) const {
    return platform::Millis(s_.env.tick.count() * n);
}

platform::Millis PopLink::SessionBudget() const {
    return Ticks(s_.options.popSessionMinutes);
}

void PopLink::Begin() {
    deadlineHit_ = false;
    sessionStart_ = Now();
    sessionEnd_ = sessionStart_ + SessionBudget();
    ArmStep(SessionBudget());
}

void PopLink::ArmStep(platform::Millis budget) {
    const platform::SteadyTime now = Now();
    stepEnd_ = std::min(sessionEnd_, now + budget);
    stepBudget_ = std::chrono::duration_cast<platform::Millis>(stepEnd_ - now);
    if (deadlineTimer_) s_.loop.Cancel(deadlineTimer_);
    // The timer only wakes a wait that sleeps; the waits compare the clock.
    deadlineTimer_ =
        s_.loop.After(std::max(platform::Millis(0), stepBudget_), [this] { deadlineTimer_ = 0; });
}

bool PopLink::PastDeadline() {
    if (Now() < stepEnd_) return false;
    deadlineHit_ = true;
    form_.gPOP_Error = net::kPopTimedOut;
    return true;
}

bool PopLink::Send(const std::string& command) {
    if (s_.log.Enabled(platform::LogLevel::Debug)) s_.log.Debug("pop3 > " + Shown(command));
    return POPWriteOut(command);
}

bool PopLink::POPWriteOut(std::string OutBuff) {
    // Nothing that arrived before the command is an answer to it.
    form_.DropPending(net::kPopSide);
    platform::Socket& socket = form_.POPSocket();
    for (;;) {
        const long length = static_cast<long>(OutBuff.size());
        form_.gPOPTimerFired = false;
        if (!form_.POPTimer.Enabled()) form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
        while (!socket.IsWritable()) {
            if (form_.gPOP_Error != net::kPopOk || !socket.Connected()) return false;
            form_.WaitYield();
            if (PastDeadline() || form_.gPOPTimerFired) return false;
        }
        const long sent = socket.Write(OutBuff);
        if (sent == length) return true;
        if (sent < 0) return false;
        // Partial write: wait until the socket can take more, then offer the
        // part it did not accept.
        form_.gSocketState = net::kSockAwaitWrite;
        if (POPTimout(net::kSockWritable)) return false;
        form_.gSocketState = net::kSockIdle;
        OutBuff.erase(0, static_cast<std::size_t>(sent));
    }
}

bool PopLink::POPTimout(std::int16_t doState) {
    std::int32_t ticks = s_.cfg.gTimoutMinutes;
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    form_.gPOPTimerFired = false;
    do {
        s_.loop.Yield();
        for (;;) {
            form_.DeliverReply(net::kPopSide);
            if (form_.gSocketState == doState) return false;
            // Nothing can arrive on a closed socket: a refused connection or
            // a hang-up ends the wait now rather than at the next tick.
            if (form_.gPOP_Error != net::kPopOk && !form_.POPSocket().Connected()) return false;
            form_.WaitYield();
            if (PastDeadline()) return true;
            if (form_.gPOPTimerFired) break;
            if (form_.gPOP_Error != net::kPopOk) return false;
        }
        form_.gPOPTimerFired = false;
        --ticks;
    } while (ticks > 0);
    form_.gPOP_Error = net::kPopTimedOut;
    return true;
}

bool PopLink::AwaitLine(std::int32_t ticks) {
    form_.gSocketState = net::kSockAwaitReply;
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    form_.gPOPTimerFired = false;
    for (;;) {
        form_.DeliverReply(net::kPopSide);
        if (form_.gSocketState == net::kSockIdle) return true;
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.WaitYield();
        if (PastDeadline()) return false;
        if (form_.gPOPTimerFired) {
            form_.gPOPTimerFired = false;
            if (--ticks <= 0) return false;
        }
    }
}

bool PopLink::WaitReadable() {
    // Each wait for more data lasts at most one tick from its start, and
    // never past the deadline of the step: a server that sends a byte just
    // before every tick does not keep the session for ever.
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    if (PastDeadline()) return false;
    platform::Socket& socket = form_.POPSocket();
    while (!socket.IsReadable() && form_.Pending(net::kPopSide).empty()) {
        // After a disconnect or socket error nothing more can arrive.
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.WaitYield();
        if (PastDeadline()) return false;
        if (form_.gPOPTimerFired) return false;
    }
    return true;
}

PopLink::Read PopLink::ReadAnswer(const Feed& feed, std::int64_t floorPerTick) {
    form_.gCollectInput = true;
    platform::SteadyTime windowStart = Now();
    std::int64_t windowBytes = 0;
    Read result = Read::Lost;
    for (;;) {
        s_.loop.Yield();
        form_.gPOPTimerFired = false;
        if (!WaitReadable()) break;
        const std::string piece = form_.TakeArrived(net::kPopSide, kMaxArrival);
        std::size_t used = piece.size();
        const Fed fed = feed(piece, used);
        // What follows the answer is no reply to anything: it goes with the
        // next command.
        if (fed != Fed::More) {
            result = fed == Fed::Done ? Read::Complete : Read::Stopped;
            break;
        }
        windowBytes += static_cast<std::int64_t>(piece.size());
        if (floorPerTick > 0 && Now() - windowStart >= Ticks(1)) {
            if (windowBytes < floorPerTick) {
                result = Read::TooSlow;
                break;
            }
            windowStart = Now();
            windowBytes = 0;
        }
    }
    form_.gCollectInput = false;
    return result;
}

std::string PopLink::Quote(std::string_view text) const {
    std::string line = ReportLine(text);
    const std::string& secret = secret_;
    if (secret.size() >= kMaskedSecretLength) {
        for (std::size_t at = line.find(secret); at != std::string::npos;
             at = line.find(secret, at + 4))
            line.replace(at, secret.size(), "****");
    }
    return line;
}

std::string PopLink::LostWhy() const {
    if (deadlineHit_) {
        if (stepEnd_ >= sessionEnd_)
            return "the session's deadline of " +
                   std::to_string(Seconds(
                       std::chrono::duration_cast<platform::Millis>(sessionEnd_ - sessionStart_))) +
                   " s passed";
        return "not complete within " + std::to_string(Seconds(stepBudget_)) + " s";
    }
    if (form_.gPOP_Error == net::kPopOk)
        return "no data for " + std::to_string(Seconds(s_.env.tick)) + " s";
    if (form_.gPOP_Error == net::kPopTimedOut)
        return "timed out after " + std::to_string(Seconds(Ticks(s_.cfg.gTimoutMinutes))) + " s";
    return form_.gPOPSockErrDescr.empty() ? std::string("the connection failed")
                                          : form_.gPOPSockErrDescr;
}

void PopLink::End() {
    form_.gCollectInput = false;
    form_.POPSocket().Disconnect();
    form_.POPTimer.SetEnabled(false);
    form_.gPOPTimerFired = false;
    form_.gSocketState = net::kSockIdle;
    form_.DropPending(net::kPopSide);
    if (deadlineTimer_) s_.loop.Cancel(deadlineTimer_);
    deadlineTimer_ = 0;
}

}  // namespace pop
