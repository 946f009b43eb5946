// Converts the message files that the POP client left in the In folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <fstream>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "convert/MimeWalker.h"
#include "platform/FileRemover.h"
#include "platform/FileStream.h"
#include "platform/Files.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Text.h"

namespace convert {
namespace {

// Regular files named "*.txt" in any case, sorted by name so that a run
// handles them in the same order every time.
std::vector<std::string> MessageFiles(const std::string& dir) {
    std::vector<std::string> names = platform::ListFiles(dir).value_or({});
    std::erase_if(names, [](const std::string& name) {
        return name.size() < 4 || platform::Lower(name.substr(name.size() - 4)) != ".txt";
    });
    return names;
}

// The journal marks a run that converts. Found at the start, it tells of a
// run that died while converting: a file of In/ may already be in the inbox,
// its deletion lost with the run. Every converted message carries the digest
// of its file (NewMessage::origin), so the check does not depend on what the
// message holds: a fax of one TIFF part and no text is recognised too. One
// journal covers a whole run's files: one fsync per run, not per message.
bool WriteJournal(const std::string& journal) {
    int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    // Durable before any message of the run reaches the store: without it a
    // crash could leave a stored message and its file both, and the file
    // would be converted a second time.
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

// The digests that an early-conversion journal lists: its files' messages
// are durable in the store.
std::set<std::string> StoredDigests(const std::string& journal) {
    std::set<std::string> digests;
    std::ifstream in(journal);
    for (std::string line; std::getline(in, line);)
        if (!line.empty()) digests.insert(line);
    return digests;
}

// After a run that died while converting: each file of `dir` whose message
// is stored (its digest in `stored`, or its message in the inbox) is deleted;
// the others are converted as usual. The inbox is read newest first and only
// until every file is accounted for.
void RecoverJournal(platform::MailStore& store, const platform::FolderId& inbox,
                    const std::string& dir, const std::vector<std::string>& names,
                    const std::set<std::string>& stored) {
    // Each file under its digest in both forms: the journal and the inbox
    // may hold digests that an earlier version took.
    std::map<std::string, std::string> byDigest;  // digest -> file
    for (const std::string& name : names) {
        const std::string path = dir + name;
        auto current = platform::FileDigest(path);
        auto earlier = platform::FileDigest(path, false, platform::DigestForm::Earlier);
        if (!current || !earlier) continue;
        if (stored.count(*current) || stored.count(*earlier)) {
            ::unlink(path.c_str());
        } else {
            byDigest.emplace(*current, path);
            byDigest.emplace(*earlier, path);
        }
    }
    const std::vector<platform::MessageId> ids =
        byDigest.empty() ? std::vector<platform::MessageId>{} : store.List(inbox).value_or({});
    for (auto id = ids.rbegin(); id != ids.rend() && !byDigest.empty(); ++id) {
        auto msg = store.Load(*id);
        if (!msg || msg->origin.empty()) continue;
        if (auto hit = byDigest.find(msg->origin); hit != byDigest.end()) {
            const std::string path = hit->second;
            ::unlink(path.c_str());
            std::erase_if(byDigest, [&](const auto& entry) { return entry.second == path; });
        }
    }
}

// Messages stored between two syncs of the inbox: one sync makes the batch
// durable, and only then are their files deleted. Bounds how much a failed
// sync takes back and how much waits in the page cache for it.
constexpr std::size_t kSyncBatch = 64;
constexpr std::size_t kSyncBatchBytes = 64u << 20;

// How many runs in a row each file failed to convert: "<count> <name>" lines
// in a private file of In/. It is not synced: a count lost in a crash only
// puts off setting a file aside.
std::map<std::string, int> ReadFailureCounts(const std::string& path) {
    std::map<std::string, int> counts;
    std::ifstream in(path);
    int n = 0;
    std::string name;
    while (in >> n && std::getline(in >> std::ws, name))
        if (n > 0 && !name.empty() && name.find('/') == std::string::npos) counts[name] = n;
    return counts;
}

void WriteFailureCounts(const std::string& dir, const std::string& path,
                        const std::map<std::string, int>& counts) {
    if (counts.empty()) {
        ::unlink(path.c_str());
        return;
    }
    std::string text;
    for (const auto& [name, n] : counts)
        if (::access((dir + name).c_str(), F_OK) == 0)
            text += std::to_string(n) + " " + name + "\n";
    const std::string tmp = path + ".new";
    platform::FileOut out;
    if (!out.Create(tmp)) return;
    out.Write(text);
    if (out.Close())
        ::rename(tmp.c_str(), path.c_str());
    else
        ::unlink(tmp.c_str());
}

// Failures that come from the machine rather than from the message: they
// go away when space, permissions or limits are restored, and do not count
// towards setting the message aside.
bool MessagesFault(int err) {
    switch (err) {
        case ENOSPC:
        case EDQUOT:
        case EROFS:
        case EMFILE:
        case ENFILE:
        case ENOMEM:
        case EACCES:
        case EPERM:
            return false;
        default:
            return true;
    }
}

std::string WhatToDo(int err) {
    switch (err) {
        case ENOSPC:
        case EDQUOT:
            return "free some space there";
        case EROFS:
            return "make that file system writable";
        case EMFILE:
        case ENFILE:
            return "raise the limit on open files";
        case EACCES:
        case EPERM:
            return "give the program's user access there";
        default:
            return "see what the store reports";
    }
}

std::string NowText() {
    char buf[64];
    const std::time_t now = std::time(nullptr);
    std::tm tmv{};
    ::localtime_r(&now, &tmv);
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M:%S %z", &tmv);
    return buf;
}

// Moves a file that failed too often out of the way of the others, with a
// note of why beside it. False when it could not be moved.
bool SetAside(const Conversion& c, const std::string& dir, const std::string& name,
              const std::string& why) {
    const std::string folder = dir + kSetAsideFolder + "/";
    if (::mkdir(folder.c_str(), 0700) != 0 && errno != EEXIST) return false;
    std::string target = name;
    for (int i = 2; ::access((folder + target).c_str(), F_OK) == 0; ++i)
        target = std::to_string(i) + "-" + name;
    if (::rename((dir + name).c_str(), (folder + target).c_str()) != 0) return false;
    platform::FileOut note;
    if (note.Create(folder + target + ".reason")) {
        note.Write(NowText() + ": " + name + " failed to convert " +
                   std::to_string(kSetAsideAfter) + " runs in a row; the last time: " + why +
                   "\nMove it back into " + dir + " to have it converted again.\n");
        (void)note.Close();
    }
    ++c.run.stats.messagesSetAside;
    const std::string line = "set aside " + dir + name + " as " + folder + target +
                             ": it failed to convert " + std::to_string(kSetAsideAfter) +
                             " runs in a row (" + why + "); move it back to try again";
    c.log.Error(line);
    c.run.gLastError = "Storage Error : " + line;
    return true;
}

// One pass over In/: the files of messages taken during the session go
// first, the rest are converted, the inbox synced by batches.
class InPass {
  public:
    InPass(const Conversion& c, std::string dir)
        : c_(c), dir_(std::move(dir)), countsPath_(dir_ + kFailureCountFile) {}
    void Run(EarlyConversion* early);

  private:
    void DropTaken(EarlyConversion& early, std::vector<std::string>& names);
    void Convert(const std::vector<std::string>& names);
    void Failed(const std::string& name, const ConvertResult& r);
    void SyncPending();
    void SealPending();
    void SyncSealed(bool wait);
    void SyncFailed(const platform::Status& st, std::size_t messages);
    bool Delete(const std::string& name);
    void Sweep();

    const Conversion& c_;
    const std::string dir_;
    const std::string countsPath_;
    std::map<std::string, int> counts_;
    bool countsChanged_ = false;
    // Messages saved but whose inbox entries are not yet synced: their
    // files go only once one folder sync has made the whole batch durable.
    std::vector<std::string> pending_;
    std::size_t pendingBytes_ = 0;
    // The previous batch, sealed: the store makes it durable in the
    // background while the next one converts, and its files go once it is.
    std::vector<std::string> sealed_;
    // After a failed sync the journal stays: the next run deletes the files
    // of whatever messages did reach the inbox.
    bool syncFailed_ = false;
    // A stored message's file could not be deleted: the journal stays.
    bool undeleted_ = false;
    // Deletes the files of durable messages, renamed out of the way, while
    // the next ones convert.
    platform::FileRemover remover_;
};

void InPass::Run(EarlyConversion* early) {
    const std::string journal = dir_ + kJournal;
    // Either journal tells of a run that died with messages stored and
    // their files not yet deleted; the session's own is checked only by the
    // pass after a session, once a dead session's downloads are in In/.
    const bool earlyJournal = ::access((dir_ + kEarlyJournal).c_str(), F_OK) == 0;
    const bool recover =
        ::access(journal.c_str(), F_OK) == 0 || (earlyJournal && (!early || early->FoundJournal()));
    // Whatever the session stored is synced now, whether or not its file
    // is here: the walk would sync it anyway when it lists the inbox.
    if (early) (void)early->Settle();
    Sweep();
    std::vector<std::string> names = MessageFiles(dir_);
    if (names.empty() && !recover) {
        if (early) early->EndJournal();
        return;
    }
    counts_ = ReadFailureCounts(countsPath_);
    const std::size_t countsBefore = counts_.size();
    if (early) DropTaken(*early, names);
    if (recover) {
        RecoverJournal(
            c_.store, c_.inbox, dir_, names,
            earlyJournal ? StoredDigests(dir_ + kEarlyJournal) : std::set<std::string>{});
        ::unlink(journal.c_str());
        names = MessageFiles(dir_);
    }
    if (!names.empty()) {
        const bool journalled = WriteJournal(journal);
        Convert(names);
        if (journalled && !syncFailed_ && !undeleted_) ::unlink(journal.c_str());
    }
    if (early) early->EndJournal();
    if (countsChanged_ || counts_.size() != countsBefore)
        WriteFailureCounts(dir_, countsPath_, counts_);
}

// The files of messages the session converted are deleted, their batch
// being durable, without being read again; one whose batch failed to sync
// stays on the list and is converted here.
void InPass::DropTaken(EarlyConversion& early, std::vector<std::string>& names) {
    if (early.Taken() == 0) return;
    std::size_t dropped = 0;
    std::erase_if(names, [&](const std::string& name) {
        if (!early.Durable(dir_ + name)) return false;
        if (Delete(name)) early.Gone(dir_ + name);
        ++dropped;
        return true;
    });
    if (dropped > 0)
        c_.log.Info("converted " + std::to_string(dropped) +
                    (dropped == 1 ? " message" : " messages") + " while downloading");
}

// False when the file of a stored message stays: the journals stay with it,
// so that the next pass finds its message in the inbox instead of storing it
// again. The file leaves In/ by a rename to a hidden name, and is deleted
// under that name in the background: a deletion still under way when the
// run is killed can then only ever remove that name, never a file that the
// next run downloads under the old one.
bool InPass::Delete(const std::string& name) {
    countsChanged_ |= counts_.erase(name) > 0;
    ++c_.run.stats.messagesConverted;
    const std::string deleting = dir_ + "." + name + kDeletingSuffix;
    if (::rename((dir_ + name).c_str(), deleting.c_str()) == 0) {
        remover_.Remove(deleting);  // one that stays goes with the next pass
        return true;
    }
    if (errno == ENOENT) return true;
    undeleted_ = true;
    c_.log.Warning("cannot delete " + dir_ + name + " after storing its message: " +
                   std::strerror(errno) + "; the next run finds the message stored and deletes " +
                   "the file then; let this user write in " + dir_);
    return false;
}

// Deletes what a run that was killed left of the files it was deleting.
void InPass::Sweep() {
    for (const std::string& name : platform::ListFiles(dir_).value_or({}))
        if (name.front() == '.' && name.ends_with(kDeletingSuffix)) remover_.Remove(dir_ + name);
}

void InPass::Convert(const std::vector<std::string>& names) {
    for (const std::string& name : names) {
        const ConvertResult r = ProcessMessageWith(c_, dir_ + name, WalkerLimits{}, false);
        if (r.outcome != Outcome::Stored) {
            Failed(name, r);
            continue;
        }
        pending_.push_back(name);
        pendingBytes_ += r.bytes;
        if (!sealed_.empty()) SyncSealed(false);
        if (pending_.size() >= kSyncBatch || pendingBytes_ >= kSyncBatchBytes) SealPending();
    }
    SyncSealed(true);
    SyncPending();
}

void InPass::Failed(const std::string& name, const ConvertResult& r) {
    const std::string path = dir_ + name;
    c_.run.NoteFailure(config::RunFailure::Storage);
    if (MessagesFault(r.error)) {
        countsChanged_ = true;
        if (++counts_[name] >= kSetAsideAfter && SetAside(c_, dir_, name, r.what)) {
            counts_.erase(name);
            return;
        }
    }
    const std::string line = "cannot convert " + path + " into the inbox: " + r.what +
                             "; the file stays and is converted again next run; " +
                             WhatToDo(r.error);
    c_.log.Error(line);
    // last_error holds 200 characters: the reason before the advice.
    c_.run.gLastError = "Storage Error : cannot convert " + path + ": " + r.what;
}

void InPass::SyncFailed(const platform::Status& st, std::size_t messages) {
    syncFailed_ = true;
    c_.run.NoteFailure(config::RunFailure::Storage);
    const std::string line = "cannot sync the inbox: " + st.detail + "; " +
                             std::to_string(messages) +
                             " messages were taken out of it again, their files stay in " + dir_ +
                             " and are converted again next run";
    c_.log.Error(line + "; " + WhatToDo(st.error));
    // last_error holds 200 characters: the reason before the advice.
    c_.run.gLastError = "Storage Error : " + line;
}

void InPass::SyncPending() {
    if (pending_.empty()) return;
    if (const platform::Status st = c_.store.Sync(c_.inbox); !st)
        SyncFailed(st, pending_.size());
    else
        for (const std::string& name : pending_) Delete(name);
    pending_.clear();
    pendingBytes_ = 0;
}

// A full batch is sealed rather than synced at once: its last messages'
// contents are still on their way to the disk, long ones most of all, and
// the next batch converts meanwhile. The batch before it must be durable by
// then, so that no more than two are ever under way.
void InPass::SealPending() {
    SyncSealed(true);
    if (const platform::Status st = c_.store.Seal(c_.inbox); !st)
        SyncFailed(st, pending_.size());
    else
        sealed_ = std::move(pending_);
    pending_.clear();
    pendingBytes_ = 0;
}

void InPass::SyncSealed(bool wait) {
    if (sealed_.empty()) return;
    const platform::Result<bool> synced = c_.store.SyncSealed(c_.inbox, wait);
    if (!synced) {
        SyncFailed(synced.status(), sealed_.size());
    } else if (!*synced) {
        return;  // not yet
    } else {
        for (const std::string& name : sealed_) Delete(name);
    }
    sealed_.clear();
}

}  // namespace

EarlyConversion::EarlyConversion(const Conversion& c) : c_(c) {
    std::string dir = c.run.gInDir;
    if (!dir.empty() && dir.back() != '/') dir += '/';
    journal_ = dir + kEarlyJournal;
    found_ = !dir.empty() && ::access(journal_.c_str(), F_OK) == 0;
}

// The journal is durable before the first message taken can be synced into
// the inbox; one that a dead run left serves as it is.
bool EarlyConversion::JournalReady() {
    if (found_ || written_) return true;
    if (failed_) return false;
    written_ = WriteJournal(journal_);
    failed_ = !written_;
    if (failed_)
        c_.log.Warning("cannot write " + journal_ +
                       ": messages are converted after the download instead");
    return written_;
}

void EarlyConversion::Take(const std::string& path) {
    try {
        if (c_.inbox.empty() || c_.run.gInDir.empty() || !JournalReady()) return;
        const ConvertResult r = ProcessMessageWith(c_, path, WalkerLimits{}, false);
        if (r.outcome != Outcome::Stored) {
            // Nothing of it is stored; the In/ pass tries again and reports.
            c_.log.Debug("not converted while downloading: " + path + ": " + r.what);
            return;
        }
        byPath_[path] = taken_.size();
        taken_.push_back(Message{path, r.origin, r.bytes});
        batchBytes_ += r.bytes;
        if (taken_.size() - batchFrom_ >= kSyncBatch || batchBytes_ >= kSyncBatchBytes)
            (void)Settle();
    } catch (...) {
        // Out of memory: the file is converted by the In/ pass.
    }
}

bool EarlyConversion::Settle() {
    if (batchFrom_ == taken_.size()) return true;
    const platform::Status st = c_.store.Sync(c_.inbox);
    if (st) {
        std::string digests;
        for (std::size_t i = batchFrom_; i < taken_.size(); ++i) {
            taken_[i].durable = true;
            if (!taken_[i].origin.empty()) digests += taken_[i].origin + "\n";
        }
        ListStored(digests);
    } else {
        // The batch was taken out of the inbox again: the In/ pass converts
        // its files as any others.
        failed_ = true;
        c_.log.Warning("cannot sync the inbox: " + st.detail + "; " +
                       std::to_string(taken_.size() - batchFrom_) +
                       " messages converted while downloading are converted again after it; " +
                       WhatToDo(st.error));
    }
    batchFrom_ = taken_.size();
    batchBytes_ = 0;
    return static_cast<bool>(st);
}

// Adds a durable batch's digests to the journal. A line lost or cut in a
// crash before its sync only sends recovery to the inbox for that message,
// as for any file the list does not name.
void EarlyConversion::ListStored(const std::string& digests) {
    if (digests.empty()) return;
    platform::UniqueFd fd(::open(journal_.c_str(), O_WRONLY | O_APPEND | O_CLOEXEC | O_NOFOLLOW));
    if (fd && platform::WriteAll(fd.get(), digests, journal_) && ::fdatasync(fd.get()) == 0) return;
    c_.log.Warning("cannot list stored messages in " + journal_ + ": " + std::strerror(errno) +
                   "; a run that dies now finds them by the inbox only; let this user write "
                   "there");
}

EarlyConversion::Message* EarlyConversion::Find(const std::string& path) {
    const auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : &taken_[it->second];
}

const EarlyConversion::Message* EarlyConversion::Find(const std::string& path) const {
    const auto it = byPath_.find(path);
    return it == byPath_.end() ? nullptr : &taken_[it->second];
}

void EarlyConversion::Moved(const std::string& from, const std::string& to) {
    const auto it = byPath_.find(from);
    if (it == byPath_.end()) return;
    const std::size_t i = it->second;
    byPath_.erase(it);
    taken_[i].path = to;
    byPath_[to] = i;
}

bool EarlyConversion::Durable(const std::string& path) const {
    const Message* m = Find(path);
    return m && m->durable && !m->gone;
}

void EarlyConversion::Gone(const std::string& path) {
    if (Message* m = Find(path)) m->gone = true;
}

void EarlyConversion::EndJournal() {
    if (!written_ && !found_) return;
    if (failed_ || keepJournal_) return;
    for (const Message& m : taken_)
        if (m.durable && !m.gone) return;
    ::unlink(journal_.c_str());
    found_ = written_ = false;
}

void ProcessInMessages(const Conversion& c, EarlyConversion* early) {
    try {
        std::string dir = c.run.gInDir;
        if (dir.empty() || c.inbox.empty()) return;  // no store: the files wait for one
        if (dir.back() != '/') dir += '/';
        InPass(c, dir).Run(early);
    } catch (...) {
        // Out of memory while listing: the files stay for the next run.
    }
}

}  // namespace convert
