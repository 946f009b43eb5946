// The mailbox part of the session: the listings, then each message fetched
// into its file, delivered and deleted, or passed over; and whether a failed
// download counts against its message.
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <set>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "net/FrmMail.h"
#include "platform/Environment.h"
#include "platform/Log.h"
#include "platform/Text.h"
#include "pop/PopClient.h"
#include "pop/PopReply.h"

namespace pop {
namespace {

constexpr const char* kCrLf = "\r\n";
// LIST and UIDL of the largest mailbox the session handles fit in this.
constexpr std::size_t kMaxListing = 8 * 1024 * 1024;
constexpr std::int32_t kMaxMessages = 32767;  // message numbers are 16-bit
constexpr std::int64_t kMiB = 1024 * 1024;
// What any honest answer may add to the largest message allowed.
constexpr std::int64_t kSlack = 64 * 1024;

}  // namespace

// Sizes (LIST) and unique-ids (UIDL), before any message is fetched: they
// decide which messages are too large or keep failing. A server without UIDL
// answers "-ERR"; that is no failure.
bool PopClient::ReadListings() {
    std::string list, uidl;
    if (!CollectListing("LIST", list) || !CollectListing("UIDL", uidl)) return false;
    box_.Read(list, uidl, std::min(st_.gPOPMsgCount, kMaxMessages));
    staging_.OnServer(box_.uids());
    std::set<std::string> keys;
    for (std::size_t n = 1; n < box_.slots(); ++n)
        if (const std::string k = box_.KeyOf(static_cast<int>(n)); !k.empty()) keys.insert(k);
    passOver_.KeepOnly(keys);
    return true;
}

bool PopClient::CollectListing(const std::string& command, std::string& answer) {
    link_.ArmStep(link_.Ticks(s_.cfg.gTimoutMinutes));
    answer.clear();
    form_.gCollectInput = true;
    if (!link_.Send(command + kCrLf)) {
        failure_ = {command + ": " + link_.LostWhy()};
        return false;
    }
    AnswerEnd end;
    const auto read = link_.ReadAnswer([&](std::string_view piece, std::size_t& used) {
        used = end.Feed(piece);
        answer.append(piece.substr(0, used));
        if (answer.size() > kMaxListing) return PopLink::Fed::Stop;
        return end.done() ? PopLink::Fed::Done : PopLink::Fed::More;
    });
    if (read == PopLink::Read::Stopped)
        failure_ = {command + ": an answer of more than " + SizeText(kMaxListing)};
    else if (read != PopLink::Read::Complete)
        failure_ = {command + ": " + link_.LostWhy()};
    if (read != PopLink::Read::Complete) return false;
    lastReply_ = link_.Quote(answer);
    if (s_.log.Enabled(platform::LogLevel::Debug))
        s_.log.Debug("pop3 < " + lastReply_ + " (" +
                     SizeText(static_cast<std::int64_t>(answer.size())) + ")");
    return true;
}

bool PopClient::Transaction(std::int64_t now) {
    const std::int32_t last = std::min(st_.gPOPMsgCount, kMaxMessages);
    bool sawAll = st_.gPOPMsgCount <= kMaxMessages;
    for (std::int32_t n = 1; n <= last; ++n) {
        st_.gPOPMsgNum = static_cast<std::int16_t>(n);
        if (Skip(n, now)) {
            sawAll = false;
            continue;
        }
        st_.gPOPState = POP_Transaction;
        if (!RetrieveMessage(st_.gPOPMsgNum)) {
            Judge(n, now);
            ReportTransactionFailure(n, "could not be retrieved");
            return false;
        }
        if (!Delete(n, now)) return false;
    }
    sawAll_ = sawAll;
    return true;
}

// A message too large, or one that keeps failing, is left on the server.
bool PopClient::Skip(int n, std::int64_t now) {
    const std::string key = box_.KeyOf(n);
    if (box_.SizeOf(n) > MaxMessageBytes()) {
        const std::string limit =
            "[pop3] max_message_mb = " + std::to_string(s_.options.popMaxMessageMb) + " in " +
            s_.env.OptionsIni();
        PassOverMessage(n, "it is larger than " + limit,
                        "larger than " + std::to_string(s_.options.popMaxMessageMb) + " MB");
        return true;
    }
    if (key.empty() || !passOver_.Skip(key, now)) return false;
    const PassOver::Record* r = passOver_.Find(key);
    PassOverMessage(n,
                    "it made " + std::to_string(r->failures) +
                        " sessions in a row fail, the last with \"" + r->reason +
                        "\"; it is tried again a day after that",
                    "failed " + std::to_string(r->failures) + " times: " + r->reason);
    return true;
}

bool PopClient::Delete(int n, std::int64_t now) {
    const std::string key = box_.KeyOf(n);
    lastReply_.clear();
    if (KillMessage(st_.gPOPMsgNum)) {
        staging_.Deleted(n);
    } else if (!lastReply_.empty()) {
        // The message is delivered; remembered, it is known and deleted when
        // the server hands it out again.
        s_.log.Warning(Where() + ": DELE " + std::to_string(n) + " refused: \"" + lastReply_ +
                       "\"; the message is delivered and remembered, and deleted when the "
                       "server hands it out again");
    } else {
        // No answer ends the session. Counted against the message, so that a
        // server that never answers its DELE holds back the messages behind
        // it for three runs, not for ever.
        failure_ = {"DELE " + std::to_string(n) + ": " + link_.LostWhy()};
        if (!key.empty()) passOver_.Failed(key, now, failure_.what);
        ReportTransactionFailure(n, "was delivered but not deleted");
        return false;
    }
    if (!key.empty()) passOver_.Fetched(key);
    return true;
}

bool PopClient::RetrieveMessage(std::int16_t MsgNum) {
    const std::string retr = "RETR " + std::to_string(MsgNum);
    MessageDownload d(staging_.PartFor(MsgNum), box_.SizeOf(MsgNum),
                      2 * MaxMessageBytes() + kSlack);
    received_ = 0;
    expected_ = d.expected();
    tooSlow_ = false;
    // The session's deadline bounds a download, and the floor its pace.
    link_.ArmStep(link_.SessionBudget());
    form_.gCollectInput = true;
    st_.gPOPCommand = retr + kCrLf;
    if (!link_.Send(st_.gPOPCommand)) {
        failure_ = {retr + ": " + link_.LostWhy()};
        return false;
    }
    // A message we cannot save must not be deleted on the server.
    if (!d.Open()) {
        failure_ = {retr + ": " + d.error(), true};
        return false;
    }
    partialFile_ = d.path();
    // The server works on this RETR while the previous message is converted.
    HandOver();
    retrStart_ = link_.Now();
    MessageDownload::Step step = MessageDownload::Step::More;
    const auto read = link_.ReadAnswer(
        [&](std::string_view piece, std::size_t& used) {
            step = d.Feed(piece, used);
            if (step == MessageDownload::Step::More) return PopLink::Fed::More;
            return step == MessageDownload::Step::Whole ? PopLink::Fed::Done : PopLink::Fed::Stop;
        },
        std::int64_t{s_.options.popMinKbPerMinute} * 1024);
    received_ = std::max<std::int64_t>(d.received(), 0);
    expected_ = d.expected();
    if (read == PopLink::Read::Complete) return Keep(MsgNum);

    const std::string progress = " (" + SizeText(received_) +
                                 (expected_ > 0 ? " of " + SizeText(expected_) : "") + " received)";
    tooSlow_ = read == PopLink::Read::TooSlow;
    if (read == PopLink::Read::Lost) {
        failure_ = {retr + ": " + link_.LostWhy() + progress};
    } else if (tooSlow_) {
        failure_ = {retr + ": less than " + std::to_string(s_.options.popMinKbPerMinute) +
                    " KB in a minute" + progress + "; [pop3] min_kb_per_minute in " +
                    s_.env.OptionsIni() + " sets the floor"};
    } else if (step == MessageDownload::Step::Refused) {
        lastReply_ = link_.Quote(d.head());
        failure_ = {retr + ": " +
                    (ReplyCode(d.head()) == ReplyKind::Negative
                         ? lastReply_
                         : "no valid answer: \"" + lastReply_ + "\"")};
    } else if (step == MessageDownload::Step::TooLarge) {
        failure_ = {retr + ": the server sent more than " + SizeText(d.cap()) +
                    " for it; [pop3] max_message_mb in " + s_.env.OptionsIni() +
                    " bounds every download"};
    } else {
        failure_ = {retr + ": " + d.error(), true};
    }
    return false;
}

// The whole message is in its part file: staged for In/, or recognised as
// one an earlier run delivered.
bool PopClient::Keep(int number) {
    partialFile_.clear();
    switch (staging_.Whole(number, box_.UidOf(number))) {
        case PopStaging::Arrival::New:
            whole_ = staging_.StagedFor(number);
            ++newMessages_;
            newBytes_ += received_;
            s_.run.stats.messagesDownloaded++;
            s_.run.stats.bytesDownloaded += received_;
            return true;
        case PopStaging::Arrival::Copy:
            s_.log.Info(Where() + ": " + Describe(number) +
                        " was delivered by an earlier run; it is deleted on the server now");
            return true;
        case PopStaging::Arrival::Failed:
            break;
    }
    failure_ = {"RETR " + std::to_string(number) + ": the download could not be kept", true};
    return false;
}

void PopClient::HandOver() {
    if (whole_.empty()) return;
    const std::string staged = std::move(whole_);
    whole_.clear();
    if (takeWhole) takeWhole(staged);
}

bool PopClient::KillMessage(std::int16_t MsgNum) {
    link_.ArmStep(link_.Ticks(s_.cfg.gTimoutMinutes));
    st_.gPOPCommand = "DELE " + std::to_string(MsgNum) + kCrLf;
    // The whole reply line must come before the next tick.
    if (!link_.Send(st_.gPOPCommand) || !link_.AwaitLine(1)) return false;
    NoteReply();
    return form_.PortIn.find("+OK") != std::string::npos;
}

// Whether the failed download counts against its message (PassOver), and
// whether it is passed over at once: one that came so slowly that no
// session could fetch it before its deadline is not tried twice more.
void PopClient::Judge(int number, std::int64_t now) {
    const std::string key = box_.KeyOf(number);
    if (key.empty()) return;
    if ((tooSlow_ || link_.sessionDeadlineHit()) && Unreachable()) {
        passOver_.GiveUp(key, now, failure_.what);
        return;
    }
    if (TheMessagesFault()) passOver_.Failed(key, now, failure_.what);
}

// At the pace it came, the rest of the message would not arrive within a
// whole session.
bool PopClient::Unreachable() const {
    if (expected_ <= 0) return false;
    const auto took =
        std::chrono::duration_cast<platform::Millis>(link_.Now() - retrStart_).count();
    if (received_ <= 0) return true;
    const double perMs =
        static_cast<double>(received_) / static_cast<double>(std::max<long long>(took, 1));
    const double needMs =
        static_cast<double>(std::max<std::int64_t>(expected_ - received_, 0)) / perMs;
    return static_cast<double>(took) + needMs > static_cast<double>(link_.SessionBudget().count());
}

// The server's refusal, a cut connection or a download too slow count
// against the message; what would have failed for any message does not: the
// session's deadline, a folder that cannot be written, a disk so full that
// no message fits. A message larger than the free space (its partial file
// removed) while others fit does count: passed over, it no longer holds them
// back.
bool PopClient::TheMessagesFault() {
    if (link_.sessionDeadlineHit()) return false;
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
    for (std::size_t n = 1; n < box_.slots(); ++n) {
        const std::int64_t size = box_.SizeOf(static_cast<int>(n));
        if (static_cast<int>(n) != st_.gPOPMsgNum && size >= 0 && size < free) return true;
    }
    return false;
}

void PopClient::PassOverMessage(int number, const std::string& why, const std::string& shortWhy) {
    s_.log.Warning(Where() + ": " + Describe(number) +
                   " passed over and left on the server: " + why);
    s_.run.gLastError =
        "Retrieval Error : " +
        platform::OneLine("message " + std::to_string(number) + " passed over, " + shortWhy, 200);
    s_.run.stats.messagesPassedOver++;
    s_.run.NoteFailure(config::RunFailure::Retrieval);
}

std::int64_t PopClient::MaxMessageBytes() const {
    return static_cast<std::int64_t>(s_.options.popMaxMessageMb) * kMiB;
}

}  // namespace pop
