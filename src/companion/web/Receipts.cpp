#include "companion/web/Receipts.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <optional>

#include "companion/Outcome.h"
#include "convert/HeaderUtils.h"
#include "mailout/Compose.h"
#include "mailout/ReceiptLedger.h"
#include "platform/Files.h"
#include "platform/InstanceLock.h"
#include "platform/Text.h"

namespace web {
namespace {

constexpr std::size_t kHeaderBytes = 16 * 1024;  // To: is among the first lines

std::string OutFolder(const platform::Environment& env) {
    return env.programFolder + "/Out/";
}
std::string UndeliveredFolder(const platform::Environment& env) {
    return env.programFolder + "/Undelivered/";
}
std::string LedgerPath(const platform::Environment& env) {
    return env.programFolder + "/receipts.ledger";
}

// Why no change may be made now; "" when the lock is ours.
std::string TakeLock(const platform::Environment& env,
                     std::optional<platform::InstanceLock>& held) {
    auto lock = platform::InstanceLock::Acquire(env.programFolder + "/voxafax-print.lock");
    if (!lock) {
        return lock.status().kind == platform::Fail::Rejected
                   ? "voxafax-print is running; try again when the run has ended"
                   : "cannot take the program folder's lock: " + lock.status().detail;
    }
    held.emplace(std::move(*lock));
    return {};
}

// The last line of the last run's problems that speaks of this receipt: by
// the file's path for one given up, else by its recipient.
std::string LastWords(const std::vector<std::string>& problems, const WaitingReceipt& r,
                      const std::string& path) {
    for (auto it = problems.rbegin(); it != problems.rend(); ++it) {
        if (r.undelivered ? it->find(path) != std::string::npos
                          : (!r.recipient.empty() &&
                             it->find(" to " + r.recipient + " ") != std::string::npos &&
                             it->find("receipt") != std::string::npos))
            return *it;
    }
    return {};
}

void ListFolder(const std::string& folder, bool undelivered, const mailout::ReceiptLedger& ledger,
                const std::vector<std::string>& problems, std::vector<WaitingReceipt>& out) {
    auto names = platform::ListFiles(folder);
    if (!names) return;
    for (const std::string& name : *names) {
        if (!PlainName(name)) continue;  // a receipt being staged
        const std::string path = folder + name;
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) continue;
        WaitingReceipt r;
        r.undelivered = undelivered;
        r.name = name;
        r.since = st.st_mtime;
        std::string head = platform::ReadWholeFile(path).value_or("").substr(0, kHeaderBytes);
        r.recipient = platform::Trim(convert::GetHeaderField(head, "To:"));
        r.tries = undelivered ? 0 : ledger.FailedRuns(name);
        r.lastWords = LastWords(problems, r, path);
        out.push_back(std::move(r));
    }
}

}  // namespace

bool PlainName(const std::string& name) {
    return !name.empty() && name[0] != '.' && name.find('/') == std::string::npos &&
           name.find('\0') == std::string::npos;
}

std::vector<WaitingReceipt> ListWaitingReceipts(const platform::Environment& env) {
    mailout::ReceiptLedger ledger(LedgerPath(env));
    ledger.Load(std::time(nullptr));
    std::vector<std::string> problems;
    if (auto rec = companion::ReadLastRun(companion::LastRunPath(env))) problems = rec->problems;
    std::vector<WaitingReceipt> all;
    ListFolder(OutFolder(env), false, ledger, problems, all);
    ListFolder(UndeliveredFolder(env), true, ledger, problems, all);
    std::stable_sort(all.begin(), all.end(), [](const WaitingReceipt& a, const WaitingReceipt& b) {
        if (a.undelivered != b.undelivered) return !a.undelivered;
        return a.since > b.since;
    });
    return all;
}

std::string RequeueReceipt(const platform::Environment& env, const std::string& name) {
    if (!PlainName(name)) return "no such receipt";
    std::optional<platform::InstanceLock> lock;
    if (std::string why = TakeLock(env, lock); !why.empty()) return why;
    const std::string from = UndeliveredFolder(env) + name;
    if (!platform::IsFile(from)) return "the receipt is no longer in Undelivered/";
    if (auto made = platform::MakeFolders(OutFolder(env)); !made) return made.detail;
    // It goes back under a queue name of its own time ("<stamp>.MDN", or the
    // next free one), never over a receipt waiting there.
    std::string stamp = name.substr(0, name.find_first_of("._"));
    if (stamp.empty()) stamp = "00000000000000";
    const std::string queued = mailout::PublishReceiptFile(OutFolder(env), stamp, from);
    if (queued.empty())
        return "cannot move it into " + OutFolder(env) + ": " + std::strerror(errno);
    (void)platform::FsyncFolder(UndeliveredFolder(env));
    mailout::ReceiptLedger ledger(LedgerPath(env));
    ledger.Load(std::time(nullptr));
    if (ledger.FailedRuns(queued) > 0) {
        ledger.Forget(queued);
        (void)ledger.Save();
    }
    return {};
}

std::string DiscardReceipt(const platform::Environment& env, bool undelivered,
                           const std::string& name) {
    if (!PlainName(name)) return "no such receipt";
    std::optional<platform::InstanceLock> lock;
    if (std::string why = TakeLock(env, lock); !why.empty()) return why;
    const std::string folder = undelivered ? UndeliveredFolder(env) : OutFolder(env);
    if (::unlink((folder + name).c_str()) != 0)
        return errno == ENOENT ? "the receipt is no longer there (a run may have sent it)"
                               : "cannot delete " + folder + name + ": " + std::strerror(errno);
    (void)platform::FsyncFolder(folder);
    if (!undelivered) {
        mailout::ReceiptLedger ledger(LedgerPath(env));
        ledger.Load(std::time(nullptr));
        if (ledger.FailedRuns(name) > 0) {
            ledger.Forget(name);
            (void)ledger.Save();
        }
    }
    return {};
}

}  // namespace web
