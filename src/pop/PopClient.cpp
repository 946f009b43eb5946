// The POP3 session: logon, STAT, LIST and UIDL, then RETR and DELE for every
// message, QUIT. Deletions only take effect at QUIT; what arrived whole is
// delivered in any case, and PopStaging remembers what the server may still
// hand out again.
#include "pop/PopClient.h"

#include <fcntl.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <set>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "net/FrmMail.h"
#include "net/Outcomes.h"
#include "net/SocketWrench.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Socket.h"
#include "pop/PopReply.h"

namespace pop {
namespace {

constexpr const char* kCrLf = "\r\n";
constexpr std::size_t kFileBlock = 4096;
// Data taken from the socket at once while collecting: bounds the memory of
// a download whatever the message size.
constexpr std::size_t kMaxArrival = 256 * 1024;
// A DELE or QUIT reply longer than this without a line end is no reply.
constexpr std::size_t kMaxReplyLine = 64 * 1024;
// LIST and UIDL of the largest mailbox the session handles fit in this.
constexpr std::size_t kMaxListing = 8 * 1024 * 1024;
constexpr std::int32_t kMaxMessages = 32767;  // message numbers are 16-bit

// Deadlines count in ticks of the network timers, like every other wait, so
// that they follow VOXAFAX_TICK_MS. At the default tick of a minute a session
// has at least a quarter of an hour, and at most six hours however large the
// mailbox claims to be; a message has the configured time-out plus a minute
// for every 512 KiB it announces (about 8.7 KB/s: slower than any line a
// subscriber still uses).
constexpr std::int64_t kSessionFloorTicks = 15;
constexpr std::int64_t kSessionCapTicks = 360;
constexpr std::int64_t kBytesPerTick = 512 * 1024;

constexpr std::int64_t kMiB = 1024 * 1024;

// Shorter passwords are not masked in server text: every "1" in a reply
// would become "****" for the password "1", and such a password is no
// secret anyway.
constexpr std::size_t kMaskedPasswordLength = 4;

std::string SizeText(std::int64_t bytes) {
    if (bytes < 1000) return std::to_string(bytes) + (bytes == 1 ? " byte" : " bytes");
    if (bytes < 1000 * 1000) return std::to_string((bytes + 999) / 1000) + " KB";
    const std::int64_t tenths = (bytes + 50 * 1000) / (100 * 1000);
    return std::to_string(tenths / 10) + "." + std::to_string(tenths % 10) + " MB";
}

std::string LowerFirst(std::string s) {
    if (!s.empty() && s[0] >= 'A' && s[0] <= 'Z' && (s.size() < 2 || s[1] < 'A' || s[1] > 'Z'))
        s[0] = static_cast<char>(s[0] - 'A' + 'a');
    return s;
}

bool IsLoopback(const std::string& address) {
    return address.rfind("127.", 0) == 0 || address == "::1" ||
           address.rfind("::ffff:127.", 0) == 0;
}

std::string Cut(const std::string& text, std::size_t max = 200) {
    return text.size() > max ? text.substr(0, max) : text;
}

}  // namespace

PopClient::PopClient(config::Context& ctx, net::FrmMail& form)
    : wallClock([] { return static_cast<std::int64_t>(std::time(nullptr)); }),
      ctx_(ctx),
      form_(form),
      staging_(ctx),
      passOver_(ctx.run.gInDir + ".pop/failing") {
    form_.POPTimout = [this](std::int16_t doState) { return POPTimout(doState); };
}

PopClient::~PopClient() {
    form_.POPTimout = nullptr;
    if (deadlineTimer_) ctx_.loop.Cancel(deadlineTimer_);
}

void PopClient::CHECKMAIL_Click() {
    staging_.Open(wallClock());
    passOver_.Load();
    host_ = ctx_.options.popHost.empty() ? ctx_.run.gPOPServer : ctx_.options.popHost;
    awaited_.clear();
    greeting_.clear();
    lastReply_.clear();
    refusal_.clear();
    failure_ = {};
    lookupFailed_ = deadlineHit_ = inTransaction_ = sawAll_ = false;
    newMessages_ = 0;
    newBytes_ = 0;
    sizes_.clear();
    uids_.clear();
    partialFile_.clear();

    bool ok = false;
    try {
        net::CreateSocket(form_, form_.POPSocket(), "POP");  // idempotent
        ok = Session();
    } catch (...) {
        // Out of memory: treated like any failed session; the server keeps
        // the messages because no QUIT was sent.
        ctx_.log.Error(Where() + ": the session failed for want of memory");
        ctx_.run.NoteFailure(config::RunFailure::Retrieval);
    }
    if (!partialFile_.empty()) ::unlink(partialFile_.c_str());
    if (!ok) ErrorReport();
    // Whole downloads reach In/ whatever became of the session.
    staging_.Close();
    (void)passOver_.Save();
    if (newMessages_ > 0) {
        ctx_.log.Info("downloaded " + std::to_string(newMessages_) +
                      (newMessages_ == 1 ? " message, " : " messages, ") + SizeText(newBytes_));
    }
    EndSession();
}

bool PopClient::Session() {
    form_.gPOP_Error = net::kPopOk;
    form_.gPOPSockErrDescr.clear();
    sessionStart_ = ctx_.loop.clock().Now();
    sessionEnd_ =
        sessionStart_ + std::max(Ticks(kSessionFloorTicks), 5 * Ticks(ctx_.cfg.gTimoutMinutes));
    ArmStep(std::chrono::duration_cast<platform::Millis>(sessionEnd_ - sessionStart_));

    ctx_.log.Info(Where() + ": connecting");
    awaited_ = "greeting";
    st_.gPOPState = POP_OpenConnection;
    POP_Process();
    if (form_.gPOP_Error != net::kPopOk) return ReportLogonFailure(), false;

    // Each step judges the reply in hand and sends the next command.
    for (const auto& [step, next] :
         {std::pair{POP_UserValidation, "USER"}, std::pair{POP_PassValidation, "PASS"},
          std::pair{POP_Statistics, "STAT"}}) {
        st_.gPOPState = step;
        if (step == POP_UserValidation) form_.gSocketState = net::kSockAwaitReply;
        POP_Process();
        if (form_.gPOP_Error != net::kPopOk) return ReportLogonFailure(), false;
        awaited_ = next;
        form_.gSocketState = net::kSockAwaitReply;
        // A reply that never comes, or a connection that is gone: nothing
        // more can be said on it.
        if (POPTimout(net::kSockIdle) || form_.gPOP_Error != net::kPopOk)
            return ReportLogonFailure(), false;
    }
    st_.gPOPState = POP_ReadStats;
    POP_Process();
    if (form_.gPOP_Error != net::kPopOk) return ReportLogonFailure(), false;
    form_.gSocketState = net::kSockAwaitReply;
    inTransaction_ = true;

    if (st_.gPOPMsgCount < 1) {
        config::WriteStatus(ctx_.profile, "No new VOXA-FAXes");
        ctx_.log.Info(Where() + ": no new messages");
        sawAll_ = true;
    } else {
        config::WriteStatus(ctx_.profile,
                            "Downloading " + std::to_string(st_.gPOPMsgCount) + " VOXA-FAXes");
        if (!ReadListings()) return ReportTransactionFailure(0), false;
        if (!Transaction(wallClock())) return false;
    }
    return Quit();
}

// Sizes (LIST) and unique-ids (UIDL), before any message is fetched: they
// decide which messages are too large or keep failing, and how long the
// session may take. A server without UIDL answers "-ERR"; that is no failure.
bool PopClient::ReadListings() {
    const std::size_t slots =
        static_cast<std::size_t>(std::min(st_.gPOPMsgCount, kMaxMessages)) + 1;
    std::string answer;
    if (!CollectMultiLine("LIST", answer)) return false;
    sizes_.assign(slots, -1);
    const std::vector<std::string> sizes = ScanListing(answer, slots);
    for (std::size_t n = 1; n < slots; ++n)
        if (!sizes[n].empty()) sizes_[n] = std::max<std::int64_t>(0, LeadingNumber(sizes[n]));

    if (!CollectMultiLine("UIDL", answer)) return false;
    uids_ = ScanListing(answer, slots);
    // An id given to two messages identifies neither.
    std::set<std::string> seen, twice;
    for (const std::string& u : uids_)
        if (!u.empty() && !seen.insert(u).second) twice.insert(u);
    for (std::string& u : uids_)
        if (!UsableUid(u) || twice.count(u)) u.clear();

    staging_.OnServer(uids_);
    std::set<std::string> keys;
    std::int64_t allowance = 0;
    for (std::size_t n = 1; n < slots; ++n) {
        if (const std::string k = KeyOf(static_cast<int>(n)); !k.empty()) keys.insert(k);
        const std::int64_t size = SizeOf(static_cast<int>(n));
        if (size <= MaxMessageBytes())
            allowance += (std::max<std::int64_t>(size, 0) + kBytesPerTick - 1) / kBytesPerTick;
    }
    passOver_.KeepOnly(keys);
    const platform::Millis budget = std::min(
        Ticks(kSessionCapTicks),
        std::max(Ticks(kSessionFloorTicks), 5 * Ticks(ctx_.cfg.gTimoutMinutes)) + Ticks(allowance));
    sessionEnd_ = sessionStart_ + budget;
    return true;
}

bool PopClient::Transaction(std::int64_t now) {
    const std::int32_t last = std::min(st_.gPOPMsgCount, kMaxMessages);
    bool sawAll = st_.gPOPMsgCount <= kMaxMessages;
    for (std::int32_t n = 1; n <= last; ++n) {
        st_.gPOPMsgNum = static_cast<std::int16_t>(n);
        const std::string key = KeyOf(n);
        if (SizeOf(n) > MaxMessageBytes()) {
            const std::string limit =
                "[pop3] max_message_mb = " + std::to_string(ctx_.options.popMaxMessageMb) + " in " +
                ctx_.env.OptionsIni();
            PassOverMessage(n, "it is larger than " + limit,
                            "larger than " + std::to_string(ctx_.options.popMaxMessageMb) + " MB");
            sawAll = false;
            continue;
        }
        if (!key.empty() && passOver_.Skip(key, now)) {
            const PassOver::Record* r = passOver_.Find(key);
            PassOverMessage(n,
                            "it made " + std::to_string(r->failures) +
                                " sessions in a row fail, the last with \"" + r->reason +
                                "\"; it is tried again a day after that",
                            "failed " + std::to_string(r->failures) + " times: " + r->reason);
            sawAll = false;
            continue;
        }
        st_.gPOPState = POP_Transaction;
        if (!RetrieveMessage(st_.gPOPMsgNum)) {
            if (!key.empty() && TheMessagesFault()) passOver_.Failed(key, now, failure_.what);
            ReportTransactionFailure(n);
            return false;
        }
        if (!key.empty()) passOver_.Fetched(key);
        lastReply_.clear();
        if (KillMessage(st_.gPOPMsgNum)) {
            staging_.Deleted(n);
        } else if (!lastReply_.empty()) {
            // The message is delivered; remembered, it is known and deleted
            // when the server hands it out again.
            ctx_.log.Warning(Where() + ": DELE " + std::to_string(n) + " refused: \"" + lastReply_ +
                             "\"; the message is delivered and remembered, and deleted when "
                             "the server hands it out again");
        } else {
            failure_ = {"DELE " + std::to_string(n) + ": " + LostWhy("")};
            ReportTransactionFailure(0);
            return false;
        }
    }
    sawAll_ = sawAll;
    return true;
}

bool PopClient::Quit() {
    // The copies must be safe on the disk before the server may delete the
    // originals; a failure is logged, and without QUIT the server keeps them.
    if (!staging_.Sync()) return false;
    ArmStep(Ticks(ctx_.cfg.gTimoutMinutes));
    st_.gPOPCommand = std::string("QUIT") + kCrLf;
    std::string reply;
    const bool sent = Send(st_.gPOPCommand);
    if (!sent || !CollectReply(reply)) {
        ctx_.log.Warning(Where() + ": no answer to QUIT (" + LostWhy("") +
                         "); the messages are delivered and remembered, in case the server "
                         "still holds them");
        return false;
    }
    form_.gCollectInput = false;
    if (reply.find("+OK") == std::string::npos) {
        ctx_.log.Warning(Where() + ": QUIT not confirmed: \"" + lastReply_ +
                         "\"; the messages are delivered and remembered, in case the server "
                         "still holds them");
        return false;
    }
    staging_.QuitConfirmed(sawAll_);
    return true;
}

// Whether a failed download counts against the message. The server's
// refusal, a cut connection or the message's own deadline do; what would
// have failed for any message does not: the session's deadline, a folder
// that cannot be written, a disk so full that no message fits. A message
// larger than the free space (its partial file removed) while others fit
// does count: passed over, it no longer holds them back.
bool PopClient::TheMessagesFault() {
    if (deadlineHit_ && stepEnd_ >= sessionEnd_) return false;
    if (!failure_.storage) return true;
    if (!partialFile_.empty()) ::unlink(partialFile_.c_str());
    partialFile_.clear();
    struct statvfs fs {};
    if (::statvfs(staging_.Folder().c_str(), &fs) != 0) return false;
    const std::int64_t free =
        static_cast<std::int64_t>(fs.f_bavail) * static_cast<std::int64_t>(fs.f_frsize);
    if (expected_ <= free) return false;
    // Too large for the space left: passing it over helps only if some other
    // message would fit.
    for (std::size_t n = 1; n < sizes_.size(); ++n)
        if (static_cast<int>(n) != st_.gPOPMsgNum && sizes_[n] >= 0 && sizes_[n] < free)
            return true;
    return false;
}

void PopClient::PassOverMessage(int number, const std::string& why, const std::string& shortWhy) {
    ctx_.log.Warning(Where() + ": " + Describe(number) +
                     " passed over and left on the server: " + why);
    ctx_.run.gLastError = "Retrieval Error : " +
                          Cut("message " + std::to_string(number) + " passed over, " + shortWhy);
    ctx_.run.stats.messagesPassedOver++;
    ctx_.run.NoteFailure(config::RunFailure::Retrieval);
}

void PopClient::POP_Process() {
    platform::Socket& sock = form_.POPSocket();
    const ReplyKind reply = ReplyCode(form_.PortIn);
    if (st_.gPOPState != POP_OpenConnection) {
        lastReply_ = Quote(form_.PortIn);
        if (awaited_ == "greeting") greeting_ = lastReply_;
        if (ctx_.log.Enabled(platform::LogLevel::Debug)) ctx_.log.Debug("pop3 < " + lastReply_);
    }
    switch (st_.gPOPState) {
        case POP_OpenConnection:
            form_.PortIn.clear();
            if (!net::GetHostIPAddress(form_, sock, host_, "POP")) {
                lookupFailed_ = true;
                form_.gPOP_Error = net::kPopLookupFailed;
            } else {
                net::OpenConnection(form_, sock, net::kPopSide);
            }
            break;
        case POP_UserValidation:
        case POP_PassValidation:
        case POP_Statistics:
            // A reply that is neither positive nor negative sends the previous
            // command again.
            if (reply == ReplyKind::Negative) {
                Refuse();
            } else if (reply == ReplyKind::Positive) {
                if (st_.gPOPState == POP_UserValidation) {
                    st_.gPOPCommand = "USER " + ctx_.run.gLogin + kCrLf;
                } else if (st_.gPOPState == POP_PassValidation) {
                    st_.gPOPCommand = "PASS " + ctx_.cfg.gPassword + kCrLf;
                    if (!ctx_.options.popTls && !IsLoopback(sock.HostAddress()))
                        ctx_.log.Warning(Where() + ": the password goes to " + host_ +
                                         " unencrypted; set [pop3] tls = yes in " +
                                         ctx_.env.OptionsIni());
                } else {
                    st_.gPOPCommand = std::string("STAT") + kCrLf;
                }
            }
            (void)Send(st_.gPOPCommand);  // a failed write shows as a time-out
            break;
        case POP_ReadStats:
            if (reply == ReplyKind::Positive) {
                ParseStatReply(form_.PortIn, st_.gPOPMsgCount, st_.gPOPMailboxSize);
            } else if (reply == ReplyKind::Negative) {
                refusal_ = lastReply_;
                form_.gPOP_Error = net::kPopRefused;
            }
            st_.gPOPMsgNum = 0;
            st_.gPOPState = POP_Transaction;
            form_.gSocketState = net::kSockIdle;
            break;
        default:
            break;
    }
}

void PopClient::Refuse() {
    refusal_ = lastReply_;
    st_.gPOPCommand = std::string("QUIT") + kCrLf;
    st_.gPOPState = POP_JustQuit;
    form_.gPOP_Error = net::kPopRefused;
}

bool PopClient::RetrieveMessage(std::int16_t MsgNum) {
    platform::Socket& sock = form_.POPSocket();
    const std::string retr = "RETR " + std::to_string(MsgNum);
    const std::int64_t listed = SizeOf(MsgNum);
    std::int64_t target = 0;
    std::int64_t& expected = expected_;
    expected = listed;
    bool sized = false;
    received_ = 0;
    form_.gCollectInput = true;
    st_.gPOPMsgBuff.clear();
    ArmStep(MessageBudget(listed));
    const auto progress = [&] {
        return " (" + SizeText(std::max<std::int64_t>(received_, 0)) +
               (expected > 0 ? " of " + SizeText(expected) : std::string()) + " received)";
    };

    st_.gPOPCommand = retr + kCrLf;
    if (!Send(st_.gPOPCommand)) {
        failure_ = {retr + ": " + LostWhy("")};
        return false;
    }

    const std::string path = staging_.PartFor(MsgNum);
    platform::UniqueFd file(
        ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_NOFOLLOW | O_CLOEXEC, 0600));
    // A message we cannot save must not be deleted on the server.
    if (!file) {
        failure_ = {retr + ": cannot create " + path + ": " + std::strerror(errno), true};
        return false;
    }
    partialFile_ = path;

    // No download grows past what any honest answer could hold: twice the
    // announced size (dot-stuffing, line ends counted differently) and never
    // more than twice the limit, so that endless data ends in an error rather
    // than a full disk.
    std::int64_t cap = 2 * MaxMessageBytes() + 64 * 1024;
    // The last bytes received, written or not: the terminator may straddle
    // a block already written.
    std::string tail;
    std::string& buff = st_.gPOPMsgBuff;
    for (;;) {
        ctx_.loop.Yield();
        form_.gPOPTimerFired = false;
        if (!WaitReadable(sock)) {
            failure_ = {retr + ": " + LostWhy("") + progress()};
            return false;
        }
        const std::string piece = TakeArrival(sock);
        buff += piece;
        received_ += static_cast<std::int64_t>(piece.size());
        tail += piece;
        if (tail.size() > 5) tail.erase(0, tail.size() - 5);

        if (!sized) {
            // The answer is judged once its first line is complete.
            const std::size_t crlf = buff.find(kCrLf);
            if (crlf == std::string::npos && buff.size() < kMaxReplyLine) continue;
            lastReply_ = Quote(buff);
            if (ctx_.log.Enabled(platform::LogLevel::Debug)) ctx_.log.Debug("pop3 < " + lastReply_);
            RetrHead head;
            if (!ParseRetrHead(buff, head)) {
                failure_ = {retr + ": " +
                            (ReplyCode(buff) == ReplyKind::Negative
                                 ? lastReply_
                                 : "no valid answer: \"" + lastReply_ + "\"")};
                return false;
            }
            target = head.announced - static_cast<std::int64_t>(head.lineEnd);
            received_ -= static_cast<std::int64_t>(head.lineEnd);
            expected = std::max(listed, head.announced);
            if (expected > 0) cap = std::min(cap, 2 * expected + 64 * 1024);
            if (head.announced > listed) ArmStep(MessageBudget(head.announced));
            sized = true;
        }
        if (received_ > cap) {
            failure_ = {retr + ": the server sent more than " + SizeText(cap) +
                        " for it; [pop3] max_message_mb in " + ctx_.env.OptionsIni() +
                        " bounds every download"};
            return false;
        }
        if (received_ >= target && sock.RecvNext() <= 0 && !sock.IsReadable() &&
            EndsMessage(tail)) {
            platform::Status st = platform::WriteAll(file.get(), buff, path);
            buff.clear();
            if (st) st = file.Close(path);
            if (!st) {
                failure_ = {retr + ": " + st.detail, true};
                return false;
            }
            partialFile_.clear();
            switch (staging_.Whole(MsgNum, UidOf(MsgNum))) {
                case PopStaging::Arrival::New:
                    ++newMessages_;
                    newBytes_ += received_;
                    ctx_.run.stats.messagesDownloaded++;
                    ctx_.run.stats.bytesDownloaded += received_;
                    break;
                case PopStaging::Arrival::Copy:
                    ctx_.log.Info(Where() + ": " + Describe(MsgNum) +
                                  " was delivered by an earlier run; it is deleted on the server "
                                  "now");
                    break;
                case PopStaging::Arrival::Failed:
                    failure_ = {retr + ": the download could not be kept", true};
                    return false;
            }
            return true;
        }
        // Whole blocks go to the file as they come, so that memory does not
        // grow with the message.
        if (buff.size() >= kFileBlock) {
            const std::size_t n = buff.size() / kFileBlock * kFileBlock;
            const platform::Status st =
                platform::WriteAll(file.get(), std::string_view(buff).substr(0, n), path);
            buff.erase(0, n);
            if (!st) {
                failure_ = {retr + ": " + st.detail, true};
                return false;
            }
        }
    }
}

bool PopClient::KillMessage(std::int16_t MsgNum) {
    ArmStep(Ticks(ctx_.cfg.gTimoutMinutes));
    st_.gPOPCommand = "DELE " + std::to_string(MsgNum) + kCrLf;
    if (!Send(st_.gPOPCommand)) return false;
    std::string reply;
    if (!CollectReply(reply)) return false;
    form_.gCollectInput = false;
    return reply.find("+OK") != std::string::npos;
}

bool PopClient::Send(const std::string& command) {
    if (ctx_.log.Enabled(platform::LogLevel::Debug) && !command.empty()) {
        const std::string line = command.substr(0, command.find('\r'));
        ctx_.log.Debug("pop3 > " + (line.rfind("PASS ", 0) == 0 ? std::string("PASS ****") : line));
    }
    return POPWriteOut(form_.POPSocket(), command);
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
    lastReply_ = Quote(reply);
    if (ctx_.log.Enabled(platform::LogLevel::Debug)) ctx_.log.Debug("pop3 < " + lastReply_);
    return true;
}

bool PopClient::CollectMultiLine(const std::string& command, std::string& answer) {
    platform::Socket& sock = form_.POPSocket();
    ArmStep(Ticks(ctx_.cfg.gTimoutMinutes));
    answer.clear();
    const auto lost = [&] {
        failure_ = {command + ": " + LostWhy("")};
        return false;
    };
    if (!Send(command + kCrLf)) return lost();
    form_.gCollectInput = true;
    while (!MultiLineComplete(answer)) {
        if (answer.size() > kMaxListing) {
            failure_ = {command + ": an answer of more than " + SizeText(kMaxListing)};
            return false;
        }
        ctx_.loop.Yield();
        form_.gPOPTimerFired = false;
        if (!WaitReadable(sock)) return lost();
        answer += TakeArrival(sock);
    }
    form_.gCollectInput = false;
    lastReply_ = Quote(answer);
    if (ctx_.log.Enabled(platform::LogLevel::Debug))
        ctx_.log.Debug("pop3 < " + lastReply_ + " (" +
                       SizeText(static_cast<std::int64_t>(answer.size())) + ")");
    return true;
}

bool PopClient::WaitReadable(platform::Socket& socket) {
    // Each wait for more data lasts at most one tick from its start, and
    // never past the deadline of the step: a server that sends a byte just
    // before every tick does not keep the session for ever.
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    if (PastDeadline()) return false;
    while (!socket.IsReadable()) {
        // After a disconnect or socket error nothing more can arrive.
        if (form_.gPOP_Error != net::kPopOk) return false;
        form_.WaitYield();
        if (PastDeadline()) return false;
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

bool PopClient::POPTimout(std::int16_t doState) {
    std::int32_t ticks = ctx_.cfg.gTimoutMinutes;
    form_.SetTimerInterval(form_.POPTimer, net::kTimerMinuteMs);
    form_.gPOPTimerFired = false;
    do {
        ctx_.loop.Yield();
        for (;;) {
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

std::string PopClient::LostWhy(const std::string& during) const {
    const std::string suffix = during.empty() ? std::string() : " " + during;
    if (deadlineHit_) {
        if (stepEnd_ >= sessionEnd_)
            return "the session's deadline of " +
                   std::to_string(Seconds(
                       std::chrono::duration_cast<platform::Millis>(sessionEnd_ - sessionStart_))) +
                   " s passed" + suffix;
        return "not complete within " + std::to_string(Seconds(stepBudget_)) + " s" + suffix;
    }
    if (form_.gPOP_Error == net::kPopOk)
        return "no data for " + std::to_string(Seconds(ctx_.env.tick)) + " s" + suffix;
    if (form_.gPOP_Error == net::kPopTimedOut)
        return "timed out after " + std::to_string(Seconds(Ticks(ctx_.cfg.gTimoutMinutes))) + " s" +
               suffix;
    const std::string why = form_.gPOPSockErrDescr.empty() ? std::string("the connection failed")
                                                           : form_.gPOPSockErrDescr;
    return why + suffix;
}

// Before the mailbox is open: what failed, and the setting a person would
// change. The legacy last_error is left to ErrorReport.
void PopClient::ReportLogonFailure() {
    using config::RunFailure;
    const std::string options = ctx_.env.OptionsIni();
    const std::string profile = ctx_.env.profilePath;
    const std::string where = ctx_.options.popPortFromVariable
                                  ? "[pop3] host in " + options + " and VOXAFAX_POP3_PORT"
                                  : "[pop3] host and port in " + options;
    const std::string hostHint =
        ctx_.options.popHost.empty()
            ? where + " (the host defaults to the domain of Voxa_Fax_Addr in " + profile + ")"
            : where;
    const std::int32_t code = form_.gPOP_Error;
    const std::string& reason = form_.gPOPSockErrDescr;
    auto fail = [&](const std::string& text, RunFailure kind) {
        ctx_.log.Error(Where() + ": " + text);
        ctx_.run.NoteFailure(kind);
    };
    if (lookupFailed_)
        return fail("host not found; check " + hostHint, RunFailure::ServerUnreachable);
    if (awaited_ == "greeting" && refusal_.empty()) {
        if (code == net::kPopConnectFailed && reason.empty())
            return fail("no greeting, timed out after " +
                            std::to_string(Seconds(Ticks(ctx_.cfg.gTimoutMinutes))) + " s; check " +
                            hostHint,
                        RunFailure::ServerUnreachable);
        if (code == net::kPopDisconnected)
            return fail(
                "the server closed the connection before its greeting; check [pop3] port "
                "and tls in " +
                    options,
                RunFailure::ServerUnreachable);
        // The socket's text names the option that trusts the authority.
        if (reason.rfind("certificate not trusted", 0) == 0)
            return fail(reason, RunFailure::ServerUnreachable);
        if (reason.rfind("TLS", 0) == 0)
            return fail(reason + "; check [pop3] tls and port in " + options,
                        RunFailure::ServerUnreachable);
        return fail(
            LowerFirst(reason.empty() ? "the connection failed" : reason) + "; check " + hostHint,
            RunFailure::ServerUnreachable);
    }
    if (!refusal_.empty()) {
        const std::string quoted = "\"" + refusal_ + "\"";
        if (awaited_ == "USER")
            return fail("logon refused for user " + ctx_.run.gLogin + ": " + quoted +
                            "; check the user part of Voxa_Fax_Addr in " + profile,
                        RunFailure::LogonRefused);
        if (awaited_ == "PASS")
            return fail("logon refused for user " + ctx_.run.gLogin + ": " + quoted +
                            "; check Password in " + profile,
                        RunFailure::LogonRefused);
        if (awaited_ == "greeting")
            return fail("the server refused the session: " + quoted, RunFailure::Retrieval);
        return fail(awaited_ + " refused: " + quoted, RunFailure::Retrieval);
    }
    if (code == net::kPopTimedOut) {
        std::string text =
            "no answer to " + awaited_ + ", " +
            (deadlineHit_ ? LostWhy("")
                          : "timed out after " +
                                std::to_string(Seconds(Ticks(ctx_.cfg.gTimoutMinutes))) + " s");
        if (awaited_ == "USER" && ReplyCode(greeting_) != ReplyKind::Positive)
            text += "; the greeting \"" + greeting_ +
                    "\" is not a POP3 server's: check [pop3] port in " + options;
        return fail(text, RunFailure::ServerUnreachable);
    }
    fail(LostWhy("after " + awaited_), RunFailure::Retrieval);
}

// In the mailbox: the run log says which message and what the server
// answered, and last_error gets one short line.
void PopClient::ReportTransactionFailure(int number) {
    std::string text = Where() + ": ";
    if (number > 0) {
        text += Describe(number) + " could not be retrieved: " + failure_.what;
        const std::string key = KeyOf(number);
        if (const PassOver::Record* r = key.empty() ? nullptr : passOver_.Find(key)) {
            text += " (failure " + std::to_string(r->failures) + " in a row";
            if (r->failures >= PassOver::kFailuresInARow)
                text += "; from the next run on it is passed over";
            text += ")";
        }
        text += "; the messages before it are delivered, those after it wait for the next run";
    } else {
        text += failure_.what + "; the messages downloaded so far are delivered";
    }
    ctx_.log.Error(text);
    ctx_.run.gLastError = "Retrieval Error : " + Cut(failure_.what);
    ctx_.run.NoteFailure(failure_.storage ? config::RunFailure::Storage
                                          : config::RunFailure::Retrieval);
}

// Only an answer of the server says something the subscriber can act on (a
// wrong password, a locked mailbox); a time-out or a failed connection
// leaves the run's last error as it was. The text is one line, cut at 200
// characters. Failures in the mailbox set it where they are reported.
void PopClient::ErrorReport() {
    if (inTransaction_) return;
    if (form_.gPOP_Error != net::kPopRefused) return;  // also a failed lookup or a disconnect
    if (form_.PortIn.size() > 4)
        ctx_.run.gLastError = "Retrieval Error : " + Quote(form_.PortIn.substr(4));
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
    if (deadlineTimer_) ctx_.loop.Cancel(deadlineTimer_);
    deadlineTimer_ = 0;
}

void PopClient::ArmStep(platform::Millis budget) {
    const platform::SteadyTime now = ctx_.loop.clock().Now();
    stepEnd_ = std::min(sessionEnd_, now + budget);
    stepBudget_ = std::chrono::duration_cast<platform::Millis>(stepEnd_ - now);
    if (deadlineTimer_) ctx_.loop.Cancel(deadlineTimer_);
    // The timer only wakes a wait that sleeps; the waits compare the clock.
    deadlineTimer_ =
        ctx_.loop.After(std::max(platform::Millis(0), stepBudget_), [this] { deadlineTimer_ = 0; });
}

bool PopClient::PastDeadline() {
    if (ctx_.loop.clock().Now() < stepEnd_) return false;
    deadlineHit_ = true;
    form_.gPOP_Error = net::kPopTimedOut;
    return true;
}

platform::Millis PopClient::Ticks(std::int64_t n) const {
    return platform::Millis(ctx_.env.tick.count() * n);
}

platform::Millis PopClient::MessageBudget(std::int64_t size) const {
    const std::int64_t bytes = std::clamp<std::int64_t>(size, 0, MaxMessageBytes());
    return Ticks(ctx_.cfg.gTimoutMinutes) + Ticks((bytes + kBytesPerTick - 1) / kBytesPerTick);
}

std::int64_t PopClient::Seconds(platform::Millis d) const {
    return (d.count() + 999) / 1000;
}

std::string PopClient::Where() const {
    return "pop3 " + host_ + ":" + std::to_string(ctx_.options.popPort) +
           (ctx_.options.popTls ? " (TLS)" : "");
}

std::int64_t PopClient::MaxMessageBytes() const {
    return static_cast<std::int64_t>(ctx_.options.popMaxMessageMb) * kMiB;
}

std::int64_t PopClient::SizeOf(int number) const {
    return number > 0 && static_cast<std::size_t>(number) < sizes_.size() ? sizes_[number] : -1;
}

std::string PopClient::UidOf(int number) const {
    return number > 0 && static_cast<std::size_t>(number) < uids_.size() ? uids_[number] : "";
}

std::string PopClient::KeyOf(int number) const {
    const std::string uid = UidOf(number);
    const std::int64_t size = SizeOf(number);
    if (uid.empty() && size < 0) return {};
    return PassOver::Key(uid, size);
}

// A server's line as the run log and last_error may show it: its first line,
// printable and cut, and never the password, even from a server that
// repeats it.
std::string PopClient::Quote(std::string_view text) const {
    std::string line = ReportLine(text);
    const std::string& password = ctx_.cfg.gPassword;
    if (password.size() >= kMaskedPasswordLength) {
        for (std::size_t at = line.find(password); at != std::string::npos;
             at = line.find(password, at + 4))
            line.replace(at, password.size(), "****");
    }
    return line;
}

std::string PopClient::Describe(int number) const {
    std::string text =
        "message " + std::to_string(number) + " of " + std::to_string(st_.gPOPMsgCount);
    const std::int64_t size = SizeOf(number);
    const std::string uid = UidOf(number);
    if (size >= 0 || !uid.empty()) {
        text += " (";
        if (size >= 0) text += SizeText(size);
        if (!uid.empty()) text += std::string(size >= 0 ? ", " : "") + "UID " + Quote(uid);
        text += ")";
    }
    return text;
}

}  // namespace pop
