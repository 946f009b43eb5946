// The Out/ queue: receipts and messages that earlier sends left waiting,
// retried the way mail servers retry their queue, and given up only when
// they are both old and have been refused run after run.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <cstring>
#include <ctime>

#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "convert/HeaderUtils.h"
#include "mailout/Compose.h"
#include "mailout/Mailer.h"
#include "mailout/ReceiptLedger.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/Text.h"

namespace mailout {
namespace {

// Names waiting in the queue folder, in name order (oldest stamp first).
// Hidden names are files still being written.
std::vector<std::string> QueuedNames(const std::string& folder) {
    std::vector<std::string> names;
    if (auto all = platform::ListFolder(folder))
        for (std::string& name : *all)
            if (!name.empty() && name[0] != '.') names.push_back(std::move(name));
    std::sort(names.begin(), names.end());
    return names;
}

std::string LastThreeUpper(const std::string& s) {
    return platform::Upper(s.size() > 3 ? s.substr(s.size() - 3) : s);
}

// When a queued file was composed: the local time stamp its name begins
// with ("yyyymmddhhnnss"), else when it was last written.
std::time_t ComposedAt(const std::string& name, const std::string& path, std::time_t otherwise) {
    std::tm tm{};
    const char* end = name.size() >= 14 ? ::strptime(name.c_str(), "%Y%m%d%H%M%S", &tm) : nullptr;
    if (end == name.c_str() + 14) {
        tm.tm_isdst = -1;
        const std::time_t t = std::mktime(&tm);
        if (t != -1) return t;
    }
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0 ? st.st_mtime : otherwise;
}

// A queued file is sent only when it is a regular file of this user: a
// symbolic link or someone else's file put into Out/ would otherwise have
// the program mail whatever it points at to whatever its To: says. Its
// text, or "" with `why` set.
platform::Result<std::string> ReadQueuedFile(const std::string& path, std::string& why) {
    platform::UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NOFOLLOW | O_NONBLOCK));
    struct stat st {};
    if (!fd) {
        if (errno == ELOOP) why = "it is a symbolic link";
        return platform::ErrnoStatus(platform::Fail::Io, "cannot read " + path);
    }
    if (::fstat(fd.get(), &st) != 0 || !S_ISREG(st.st_mode)) {
        why = "it is not a regular file";
        return platform::Status::Error(platform::Fail::Format, why);
    }
    if (st.st_uid != ::geteuid()) {
        why = "it belongs to another user";
        return platform::Status::Error(platform::Fail::Rejected, why);
    }
    fd.Reset();
    return platform::ReadWholeFile(path);
}

// After the n-th run in which no server took a receipt it waits 5, 10, 20,
// 40 minutes, then an hour between tries, as mail servers space out theirs.
std::time_t RetryDelay(int runs) {
    constexpr std::time_t kFirst = 5 * 60, kLongest = 60 * 60;
    if (runs <= 0) return 0;
    if (runs > 8) return kLongest;
    return std::min(kLongest, kFirst << (runs - 1));
}

}  // namespace

bool Mailer::SendMessageFile(const std::string& fileName) {
    std::string why;
    auto body = ReadQueuedFile(fileName, why);
    if (!body) return false;
    st_.gMessageBody = std::move(*body);
    // The sender stays what the previous send of the run left; at the start
    // of a run it is empty and only the rows with the user's own address run.
    st_.gSMTPRecipAddr = convert::GetHeaderField(st_.gMessageBody, "To:");
    st_.gflgTestSend = false;
    return SendMessage(LastThreeUpper(fileName) + "+");
}

std::time_t Mailer::DueAt(const std::string& name) {
    ReceiptLedger& ledger = Ledger();
    const int runs = ledger.FailedRuns(name);
    return runs == 0 ? 0 : ledger.LastFailure(name) + RetryDelay(runs);
}

void Mailer::SendQueuedFiles() {
    const std::string& out = sv_.run.gOutFolder;
    struct stat link {};
    const std::string bare = out.ends_with('/') ? out.substr(0, out.size() - 1) : out;
    if (::lstat(bare.c_str(), &link) == 0 && S_ISLNK(link.st_mode)) {
        char target[PATH_MAX] = {};
        const ssize_t n = ::readlink(bare.c_str(), target, sizeof target - 1);
        sv_.log.Warning("the queue folder " + bare + " is a symbolic link to " +
                        (n > 0 ? std::string(target, static_cast<std::size_t>(n)) : "?") +
                        "; its files are sent from there");
    }
    ReceiptLedger& ledger = Ledger();  // first: it may queue a receipt left staged
    for (const std::string& name : QueuedNames(out)) {
        const std::string kind = platform::TrimBlanks(LastThreeUpper(name));
        const std::string path = out + name;
        kind_ = kind == "MDN" ? "queued receipt" : "queued message";
        if (const std::time_t due = DueAt(name); due > sv_.wallNow()) {
            if (queuedThisRun_.insert(name).second) ++sv_.run.stats.receiptsQueued;
            sv_.log.Debug(kind_ + " " + name + " waits in Out/ until " + DateForLog(due));
            continue;
        }
        std::string why;
        if (!ReadQueuedFile(path, why)) {
            if (!why.empty())
                sv_.log.Warning(path + " is not sent: " + why +
                                "; only the program's own files in Out/ are mailed");
            continue;  // stays for a later run
        }
        const std::time_t composed = ComposedAt(name, path, sv_.wallNow());
        st_.onAccepted = [&, copy = kind == "MDN"] { Delivered(name, st_.gMessageBody, copy); };
        const bool sent = SendMessageFile(path);
        st_.onAccepted = nullptr;
        if (!sent) {
            if (!recipientFault_.empty())
                GiveUp(name, st_.gSMTPRecipAddr, "its recipient is refused: " + recipientFault_);
            else
                AfterFailedSend(name, st_.gSMTPRecipAddr, composed);
            continue;
        }
        ++sv_.run.stats.receiptsSent;
        sv_.log.Info(kind_ + " to " + st_.gSMTPRecipAddr + " sent via " + sentVia_ +
                     " (waiting since " + DateForLog(composed) + ")");
        if (ledger.FailedRuns(name) > 0) {
            ledger.Forget(name);
            (void)ledger.Save();
        }
    }
}

void Mailer::AfterFailedSend(const std::string& name, const std::string& recipient,
                             std::time_t composed) {
    if (queuedThisRun_.insert(name).second) ++sv_.run.stats.receiptsQueued;
    if (!anyCandidate_) {
        // Nothing was tried, so nothing failed: no run is counted against it.
        sv_.log.Warning(kind_ + " to " + recipient +
                        " waits in Out/: no SMTP server and sender to try it with; set "
                        "User_SMTP_Server and Normal_EMail_Addr in " +
                        sv_.profilePath);
        return;
    }
    ReceiptLedger& ledger = Ledger();
    int runs = ledger.FailedRuns(name);
    // Only a run in which a server answered counts: a machine without a
    // network for a week must not use up a receipt's tries.
    if (askedAServer_ && failedThisRun_.insert(name).second) {
        runs = ledger.NoteFailedRun(name, sv_.wallNow());
        if (auto saved = ledger.Save(); !saved)
            sv_.log.Warning("cannot record the failed receipt in " + ledger.path() + ": " +
                            saved.detail);
    }
    const int maxRuns = sv_.options.receiptMaxRuns;
    const std::time_t maxAge = static_cast<std::time_t>(sv_.options.receiptMaxDays) * 24 * 3600;
    // Given up only when old and refused often: neither alone is enough.
    if (runs >= maxRuns && sv_.wallNow() - composed >= maxAge) {
        GiveUp(
            name, recipient,
            "no server took it in " + std::to_string(runs) + " runs since " + DateForLog(composed));
        return;
    }
    const std::string what = kind_ == "receipt" ? "receipt to " + recipient + " queued: "
                                                : kind_ + " to " + recipient + " not sent again: ";
    // The run count and last_error first: a long list of servers is what
    // the log may cut.
    // A receipt no server has answered yet has no failure to count its wait from.
    const std::time_t lastFailure = ledger.LastFailure(name);
    const std::string when =
        lastFailure == 0 ? "at the next run" : "from " + DateForLog(lastFailure + RetryDelay(runs));
    sv_.log.Warning(what + "it waits in Out/ and is tried again " + when + " (" +
                    std::to_string(runs) + " runs with an answer; " + LastErrorInWords() +
                    "): " + Reasons());
}

void Mailer::GiveUp(const std::string& name, const std::string& recipient, const std::string& why) {
    const std::string from = sv_.run.gOutFolder + name;
    const std::string folder = UndeliveredFolder();
    std::string to;
    platform::Status made = platform::MakeFolders(folder);
    std::string failure = made ? "" : made.detail;
    // link() never replaces a receipt given up before under that name.
    for (int n = 1; made && n < 1000 && to.empty(); ++n) {
        const std::string candidate = folder + name + (n == 1 ? "" : "." + std::to_string(n));
        if (::link(from.c_str(), candidate.c_str()) == 0) {
            to = candidate;
        } else if (errno != EEXIST) {
            failure = std::strerror(errno);
            break;
        }
    }
    if (to.empty()) {
        sv_.log.Error(kind_ + " to " + recipient + " (" + from + ") is given up (" + why +
                      ") but cannot be moved into " + folder + ": " + failure +
                      "; it stays in Out/");
        return;
    }
    ::unlink(from.c_str());
    (void)platform::FsyncFolder(folder);
    (void)platform::FsyncFolder(sv_.run.gOutFolder);
    ReceiptLedger& ledger = Ledger();
    ledger.Forget(name);
    (void)ledger.Save();
    const std::string tried = tried_.empty() ? "" : " (" + Reasons() + ")";
    sv_.log.Error(kind_ + " to " + recipient + " given up: " + why + tried + "; kept in " + to);
}

// Called the moment the server has taken the message: the file leaves Out/
// before anything else happens, so that a run ending now does not send it
// again. The copy for MDNs/ is made from the text as it was read.
void Mailer::Delivered(const std::string& name, const std::string& text, bool keepCopy) {
    if (name.empty()) return;
    ::unlink((sv_.run.gOutFolder + name).c_str());
    (void)platform::FsyncFolder(sv_.run.gOutFolder);
    if (keepCopy && sv_.cfg.gflgSaveMDNs)
        (void)QueueReceiptFile(sv_.run.gMDNFolder, name.substr(0, name.find_first_of("._")), text);
}

void Mailer::SaveReceiptCopy(const std::string& fileName) {
    // Under its own name, or the next free one: two receipts of the same
    // second both keep their copy.
    const std::string stamp = fileName.substr(0, fileName.find_first_of("._"));
    if (auto text = platform::ReadWholeFile(sv_.run.gOutFolder + fileName))
        (void)QueueReceiptFile(sv_.run.gMDNFolder, stamp, *text);
}

}  // namespace mailout
