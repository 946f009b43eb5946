#include "net/FrmMail.h"

#include "config/NodeConfig.h"
#include "net/Replies.h"
#include "net/SocketWrench.h"
#include "platform/Environment.h"

namespace net {

FrmMail::FrmMail(const NetServices& services)
    : MailTimer(services.loop, [this] { MailTimer_Timer(); }),
      POPTimer(services.loop, [this] { POPTimer_Timer(); }),
      s_(services),
      smtpSocket_(services.sockets.Create(services.loop)),
      popSocket_(services.sockets.Create(services.loop)) {
    platform::SocketHandlers smtp;
    smtp.onConnect = [this] { SMTPSocket_Connect(); };
    smtp.onDisconnect = [this] { SMTPSocket_Disconnect(); };
    smtp.onError = [this](int code, const std::string& text) { SMTPSocket_Error(code, text); };
    smtp.onData = [this](std::size_t length) { SMTPSocket_Read(length); };
    smtp.onWrite = [this] { SMTPSocket_Write(); };
    smtpSocket_->SetHandlers(std::move(smtp));

    platform::SocketHandlers pop;
    pop.onConnect = [this] { POPSocket_Connect(); };
    pop.onDisconnect = [this] { POPSocket_Disconnect(); };
    pop.onError = [this](int code, const std::string& text) { POPSocket_Error(code, text); };
    pop.onData = [this](std::size_t length) { POPSocket_Read(length); };
    pop.onWrite = [this] { POPSocket_Write(); };
    popSocket_->SetHandlers(std::move(pop));
}

FrmMail::~FrmMail() {
    MailTimer.SetEnabled(false);
    POPTimer.SetEnabled(false);
    // The sockets go before the timers and handlers they call into.
    smtpSocket_.reset();
    popSocket_.reset();
}

void FrmMail::WaitYield() {
    s_.loop.RunOnce(true);
}

std::int32_t FrmMail::TimeoutTicks() const {
    return s_.cfg.gTimoutMinutes;
}

void FrmMail::SetTimerInterval(platform::Timer& timer, std::int32_t timerMs) {
    // Waits are counted in minutes; how long such a minute really lasts is
    // the environment's tick, so that tests run a time-out in milliseconds.
    const auto tick = s_.env.tick.count();
    long long ms = static_cast<long long>(timerMs) * tick / kTimerMinuteMs;
    if (timerMs > 0 && ms < 1) ms = 1;
    timer.SetInterval(platform::Millis(ms));
    timer.SetEnabled(ms > 0);
}

std::string& FrmMail::PendingOf(int side) {
    return side == kSmtpSide ? smtpPending_ : popPending_;
}

const std::string& FrmMail::Pending(int side) const {
    return side == kSmtpSide ? smtpPending_ : popPending_;
}

bool FrmMail::DeliverReply(int side) {
    if (gSocketState != kSockConnected && gSocketState != kSockAwaitReply) return false;
    std::string& pending = PendingOf(side);
    std::size_t end = side == kSmtpSide ? SmtpReplyEnd(pending) : LineEnd(pending);
    if (end == std::string::npos) {
        if (pending.size() < kMaxReplyBytes) return false;
        end = pending.size();
    }
    PortIn = pending.substr(0, end);
    pending.erase(0, end);
    if (side == kSmtpSide) gInBuffer = PortIn;
    gSocketState = kSockIdle;
    return true;
}

void FrmMail::DropPending(int side) {
    PendingOf(side).clear();
}

void FrmMail::DropUnread(int side) {
    DropPending(side);
    PortIn.clear();
    if (side == kSmtpSide) gInBuffer.clear();
}

std::string FrmMail::TakeArrived(int side, std::size_t maxLength) {
    std::string out = std::move(PendingOf(side));
    PendingOf(side).clear();
    platform::Socket& sock = side == kSmtpSide ? *smtpSocket_ : *popSocket_;
    if (out.size() < maxLength) out += sock.Receive(maxLength - out.size());
    return out;
}

void FrmMail::SMTPSocket_Connect() {
    gSocketState = kSockConnected;
}

void FrmMail::SMTPSocket_Disconnect() {
    gSMTP_Error = kSmtpDisconnected;
    gSMTPSocketErrorString = "Server Disconnected";
}

void FrmMail::SMTPSocket_Error(int code, const std::string& description) {
    gSMTPSocketError = code;
    gSMTPSocketErrorString = description;
    gSMTP_Error = code;
}

void FrmMail::SMTPSocket_Read(std::size_t length) {
    smtpPending_ += smtpSocket_->Receive(length);
    DeliverReply(kSmtpSide);
}

void FrmMail::SMTPSocket_Write() {
    if (gSocketState == kSockAwaitWrite) gSocketState = kSockWritable;
}

void FrmMail::POPSocket_Connect() {
    gSocketState = kSockConnected;
    gflgPOPConnected = true;
}

void FrmMail::POPSocket_Disconnect() {
    gflgPOPConnected = false;
    gPOP_Error = kPopDisconnected;
    gPOPSockErrDescr = "Server Disconnected";
}

void FrmMail::POPSocket_Error(int code, const std::string& description) {
    gPOPSockErrDescr = description;
    gPOP_Error = code;
}

void FrmMail::POPSocket_Read(std::size_t length) {
    gReadLen = static_cast<std::int32_t>(length);
    // While the POP client collects an answer it takes the data itself.
    if (gCollectInput) return;
    popPending_ += popSocket_->Receive(length);
    DeliverReply(kPopSide);
}

void FrmMail::POPSocket_Write() {
    if (gSocketState == kSockAwaitWrite) gSocketState = kSockWritable;
}

void FrmMail::MailTimer_Timer() {
    gMailTimerFired = true;
}

void FrmMail::POPTimer_Timer() {
    gPOPTimerFired = true;
}

}  // namespace net
