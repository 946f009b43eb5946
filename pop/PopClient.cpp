// The POP3 session: logon, STAT, then RETR and DELE for every message, QUIT.
// Deletions only take effect at QUIT, so a session that fails part-way leaves
// every message on the server for the next run.
#include "pop/PopClient.h"

#include <unistd.h>

#include <algorithm>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/EventLoop.h"
#include "platform/FileStream.h"
#include "platform/Socket.h"
#include "pop/PopReply.h"
#include "pop/PopStaging.h"

namespace pop {
namespace {

constexpr const char* kCrLf = "\r\n";
constexpr std::size_t kFileBlock = 4096;
// Data taken from the socket at once while collecting: bounds the memory of
// a download whatever the message size.
constexpr std::size_t kMaxArrival = 256 * 1024;
// A DELE or QUIT reply longer than this without a line end is no reply.
constexpr std::size_t kMaxReplyLine = 64 * 1024;
constexpr std::int32_t kMaxMessages = 32767;  // message numbers are 16-bit

}  // namespace

PopClient::PopClient(config::Context& ctx, net::FrmMail& form)
    : ctx_(ctx), form_(form), staging_(ctx.run.gInDir) {
    form_.POPTimout = [this](std::int16_t doState) { return POPTimout(doState); };
}

PopClient::~PopClient() {
    form_.POPTimout = nullptr;
}

void PopClient::CHECKMAIL_Click() {
    auto session = [this]() -> bool {
        form_.gPOP_Error = net::kPopOk;
        st_.gPOPState = POP_OpenConnection;
        POP_Process();
        if (form_.gPOP_Error != net::kPopOk) return false;

        for (PopStep step : {POP_UserValidation, POP_PassValidation, POP_Statistics}) {
            st_.gPOPState = step;
            if (step == POP_UserValidation) form_.gSocketState = net::kSockAwaitReply;
            POP_Process();
            if (form_.gPOP_Error != net::kPopOk) return false;
            form_.gSocketState = net::kSockAwaitReply;
            if (POPTimout(net::kSockIdle)) return false;
        }
        st_.gPOPState = POP_ReadStats;
        POP_Process();
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.gSocketState = net::kSockAwaitReply;

        if (st_.gPOPMsgCount < 1)
            config::WriteStatus(ctx_.profile, "No new VOXA-FAXes");
        else
            config::WriteStatus(ctx_.profile,
                                "Downloading " + std::to_string(st_.gPOPMsgCount) + " VOXA-FAXes");

        const std::int32_t last = std::min(st_.gPOPMsgCount, kMaxMessages);
        for (std::int32_t n = 1; n <= last; ++n) {
            st_.gPOPMsgNum = static_cast<std::int16_t>(n);
            st_.gPOPState = POP_Transaction;
            if (!RetrieveMessage(st_.gPOPMsgNum)) return false;
            // A refused DELE does not stop the session: the message is saved
            // already, and a server that keeps it hands it out again next time.
            (void)KillMessage(st_.gPOPMsgNum);
        }

        st_.gPOPCommand = std::string("QUIT") + kCrLf;
        // Without the record on disk the staged files would be dropped after
        // a crash although the server may already have deleted them.
        if (!staging_.MarkQuitSent()) return false;
        if (!POPWriteOut(form_.POPSocket(), st_.gPOPCommand)) return false;
        std::string reply;
        if (!CollectReply(reply)) return false;
        form_.gCollectInput = false;
        if (reply.find("+OK") == std::string::npos) return false;
        staging_.QuitConfirmed();
        return true;
    };

    staging_.Open();
    try {
        net::CreateSocket(form_, form_.POPSocket(), "POP");  // idempotent
        partialFile_.clear();
        const bool ok = session();
        if (!ok) ErrorReport();
        if (!ok && !partialFile_.empty()) ::unlink(partialFile_.c_str());
    } catch (...) {
        // Out of memory: treated like any failed session; the server keeps
        // the messages because no QUIT was sent.
        if (!partialFile_.empty()) ::unlink(partialFile_.c_str());
    }
    staging_.Close();
    EndSession();
}

void PopClient::POP_Process() {
    platform::Socket& sock = form_.POPSocket();
    const ReplyKind reply = ReplyCode(form_.PortIn);
    switch (st_.gPOPState) {
        case POP_OpenConnection:
            form_.PortIn.clear();
            if (!net::GetHostIPAddress(form_, sock, ctx_.run.gPOPServer, "POP"))
                form_.gPOP_Error = net::kPopLookupFailed;
            else
                net::OpenConnection(form_, sock, net::kPopSide);
            break;
        case POP_UserValidation:
        case POP_PassValidation:
        case POP_Statistics:
            // A reply that is neither positive nor negative sends the previous
            // command again.
            if (reply == ReplyKind::Negative) {
                Refuse();
            } else if (reply == ReplyKind::Positive) {
                if (st_.gPOPState == POP_UserValidation)
                    st_.gPOPCommand = "USER " + ctx_.run.gLogin + kCrLf;
                else if (st_.gPOPState == POP_PassValidation)
                    st_.gPOPCommand = "PASS " + ctx_.cfg.gPassword + kCrLf;
                else
                    st_.gPOPCommand = std::string("STAT") + kCrLf;
            }
            (void)POPWriteOut(sock, st_.gPOPCommand);  // a failed write shows as a time-out
            break;
        case POP_ReadStats:
            if (reply == ReplyKind::Positive)
                ParseStatReply(form_.PortIn, st_.gPOPMsgCount, st_.gPOPMailboxSize);
            else if (reply == ReplyKind::Negative)
                form_.gPOP_Error = net::kPopRefused;
            st_.gPOPMsgNum = 0;
            st_.gPOPState = POP_Transaction;
            form_.gSocketState = net::kSockIdle;
            break;
        default:
            break;
    }
}

void PopClient::Refuse() {
    st_.gPOPCommand = std::string("QUIT") + kCrLf;
    st_.gPOPState = POP_JustQuit;
    form_.gPOP_Error = net::kPopRefused;
}

bool PopClient::RetrieveMessage(std::int16_t MsgNum) {
    platform::Socket& sock = form_.POPSocket();
    std::int64_t received = 0;
    std::int64_t target = 0;
    bool sized = false;
    form_.gCollectInput = true;
    st_.gPOPMsgBuff.clear();

    st_.gPOPCommand = "RETR " + std::to_string(MsgNum) + kCrLf;
    if (!POPWriteOut(sock, st_.gPOPCommand)) return false;

    const std::string path = staging_.FileFor(MsgNum);
    ::unlink(path.c_str());
    platform::FileOut file;
    // A message we cannot save must not be deleted on the server.
    if (!file.Create(path)) return false;
    partialFile_ = path;

    // The last bytes received, written or not: the terminator may straddle
    // a block already written.
    std::string tail;
    std::string& buff = st_.gPOPMsgBuff;
    for (;;) {
        ctx_.loop.Yield();
        form_.gPOPTimerFired = false;
        if (!WaitReadable(sock)) return false;
        const std::string piece = TakeArrival(sock);
        buff += piece;
        received += static_cast<std::int64_t>(piece.size());
        tail += piece;
        if (tail.size() > 5) tail.erase(0, tail.size() - 5);
        // Fewer than 50 characters are waited on, unless they already hold a
        // whole message: a tiny message must not block the mailbox forever.
        if (received < 50 && !(EndsMessage(tail) && sock.RecvNext() <= 0)) continue;

        if (!sized) {
            RetrHead head;
            if (!ParseRetrHead(buff, head)) return false;
            target = head.announced - static_cast<std::int64_t>(head.lineEnd);
            received -= static_cast<std::int64_t>(head.lineEnd);
            sized = true;
        }
        if (received >= target && sock.RecvNext() <= 0 && !sock.IsReadable() && EndsMessage(tail)) {
            file.Write(buff);
            buff.clear();
            if (!file.Close()) return false;
            partialFile_.clear();
            staging_.Downloaded(path);
            return true;
        }
        // Whole blocks go to the file as they come, so that memory does not
        // grow with the message.
        if (buff.size() >= kFileBlock) {
            const std::size_t n = buff.size() / kFileBlock * kFileBlock;
            file.Write(std::string_view(buff).substr(0, n));
            buff.erase(0, n);
            if (file.Failed()) return false;
        }
    }
}

bool PopClient::KillMessage(std::int16_t MsgNum) {
    st_.gPOPCommand = "DELE " + std::to_string(MsgNum) + kCrLf;
    if (!POPWriteOut(form_.POPSocket(), st_.gPOPCommand)) return false;
    std::string reply;
    if (!CollectReply(reply)) return false;
    form_.gCollectInput = false;
    return reply.find("+OK") != std::string::npos;
}

bool PopClient::CollectReply(std::string& reply) {
    platform::Socket& sock = form_.POPSocket();
    reply.clear();
    form_.gCollectInput = true;
    while (reply.find(kCrLf) == std::string::npos) {
        if (reply.size() > kMaxReplyLine) return false;
        ctx_.loop.Yield();
        form_.gPOPTimerFired = false;
        if (!WaitReadable(sock)) return false;
        reply += TakeArrival(sock);
    }
    return true;
}

bool PopClient::WaitReadable(platform::Socket& socket) {
    // Each wait for more data lasts at most one tick from its start.
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    while (!socket.IsReadable()) {
        // After a disconnect or socket error nothing more can arrive.
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.WaitYield();
        if (form_.gPOPTimerFired) return false;
    }
    return true;
}

std::string PopClient::TakeArrival(platform::Socket& socket) {
    form_.PortIn.clear();
    const std::size_t want =
        std::max<std::size_t>(static_cast<std::size_t>(std::max(form_.gReadLen, 0)), kMaxArrival);
    form_.PortIn = socket.Receive(want);
    return form_.PortIn;
}

bool PopClient::POPWriteOut(platform::Socket& socket, std::string OutBuff) {
    for (;;) {
        const long length = static_cast<long>(OutBuff.size());
        form_.gPOPTimerFired = false;
        if (!form_.POPTimer.Enabled()) form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
        while (!socket.IsWritable()) {
            if (form_.gPOP_Error != net::kPopOk) return false;
            form_.WaitYield();
            if (form_.gPOPTimerFired) return false;
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

bool PopClient::POPTimout(std::int16_t doState) {
    std::int32_t ticks = ctx_.cfg.gTimoutMinutes;
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    form_.gPOPTimerFired = false;
    do {
        ctx_.loop.Yield();
        for (;;) {
            if (form_.gSocketState == doState) return false;
            form_.WaitYield();
            if (form_.gPOPTimerFired) break;
            if (form_.gPOP_Error != net::kPopOk) return false;
        }
        form_.gPOPTimerFired = false;
        --ticks;
    } while (ticks > 0);
    form_.gPOP_Error = net::kPopTimedOut;
    return true;
}

// Only an answer of the server says something the subscriber can act on (a
// wrong password, a locked mailbox); a time-out or a failed connection
// leaves the run's last error as it was.
void PopClient::ErrorReport() {
    if (form_.gPOP_Error != net::kPopRefused) return;  // also a failed lookup or a disconnect
    if (form_.PortIn.size() > 4)
        ctx_.run.gLastError = "Retrieval Error : " + form_.PortIn.substr(4);
    else
        ctx_.run.gLastError.clear();
}

void PopClient::EndSession() {
    // The connection is closed on every path: a later session in the same
    // run must connect afresh, and a half-read reply must not reach it.
    form_.gCollectInput = false;
    form_.POPSocket().Disconnect();
    form_.POPTimer.SetEnabled(false);
    form_.gPOPTimerFired = false;
    form_.gSocketState = net::kSockIdle;
    partialFile_.clear();
}

}  // namespace pop
