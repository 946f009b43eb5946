// Converts the message files that the POP client left in the In folder.
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <fstream>
#include <map>
#include <string>
#include <vector>

#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "convert/MimeWalker.h"
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

// After a run that died while converting: each file of `dir` whose message
// the inbox already holds is deleted; the others are converted as usual. The
// inbox is read newest first and only until every file is accounted for.
void RecoverJournal(platform::MailStore& store, const platform::FolderId& inbox,
                    const std::string& dir, const std::vector<std::string>& names) {
    std::map<std::string, std::string> byDigest;  // digest -> file
    for (const std::string& name : names)
        if (auto d = platform::FileDigest(dir + name); d) byDigest.emplace(*d, dir + name);
    if (byDigest.empty()) return;
    const std::vector<platform::MessageId> ids = store.List(inbox).value_or({});
    for (auto id = ids.rbegin(); id != ids.rend() && !byDigest.empty(); ++id) {
        auto msg = store.Load(*id);
        if (!msg || msg->origin.empty()) continue;
        if (auto hit = byDigest.find(msg->origin); hit != byDigest.end()) {
            ::unlink(hit->second.c_str());
            byDigest.erase(hit);
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

}  // namespace

void ProcessInMessages(const Conversion& c) {
    const platform::FolderId& inbox = c.inbox;
    try {
        std::string dir = c.run.gInDir;
        if (dir.empty() || inbox.empty()) return;  // no store: the files wait for one
        if (dir.back() != '/') dir += '/';
        const std::string journal = dir + ".converting";
        if (::access(journal.c_str(), F_OK) == 0) {
            RecoverJournal(c.store, inbox, dir, MessageFiles(dir));
            ::unlink(journal.c_str());
        }
        const std::vector<std::string> names = MessageFiles(dir);
        if (names.empty()) return;
        const bool journalled = WriteJournal(journal);
        const std::string countsPath = dir + kFailureCountFile;
        std::map<std::string, int> counts = ReadFailureCounts(countsPath);
        const std::size_t countsBefore = counts.size();
        bool countsChanged = false;
        // Messages saved but whose inbox entries are not yet synced: their
        // files go only once one folder sync has made the whole batch durable.
        std::vector<std::string> pending;
        std::size_t pendingBytes = 0;
        // After a failed sync the journal stays: the next run deletes the
        // files of whatever messages did reach the inbox.
        bool syncFailed = false;
        auto syncPending = [&] {
            if (pending.empty()) return;
            if (const platform::Status st = c.store.Sync(inbox); !st) {
                syncFailed = true;
                c.run.NoteFailure(config::RunFailure::Storage);
                const std::string line =
                    "cannot sync the inbox: " + st.detail + "; " + std::to_string(pending.size()) +
                    " messages were taken out of it again, their files stay in " + dir +
                    " and are converted again next run";
                c.log.Error(line);
                c.run.gLastError = "Storage Error : " + line;
            } else {
                for (const std::string& name : pending) {
                    ::unlink((dir + name).c_str());
                    countsChanged |= counts.erase(name) > 0;
                    ++c.run.stats.messagesConverted;
                }
            }
            pending.clear();
            pendingBytes = 0;
        };
        for (const std::string& name : names) {
            const std::string path = dir + name;
            const ConvertResult r = ProcessMessageWith(c, path, WalkerLimits{}, false);
            if (r.outcome == Outcome::Stored) {
                pending.push_back(name);
                pendingBytes += r.bytes;
                if (pending.size() >= kSyncBatch || pendingBytes >= kSyncBatchBytes) syncPending();
                continue;
            }
            c.run.NoteFailure(config::RunFailure::Storage);
            if (MessagesFault(r.error)) {
                countsChanged = true;
                if (++counts[name] >= kSetAsideAfter && SetAside(c, dir, name, r.what)) {
                    counts.erase(name);
                    continue;
                }
            }
            const std::string line = "cannot convert " + path + " into the inbox: " + r.what +
                                     "; the file stays and is converted again next run; " +
                                     WhatToDo(r.error);
            c.log.Error(line);
            // last_error holds 200 characters: the reason before the advice.
            c.run.gLastError = "Storage Error : cannot convert " + path + ": " + r.what;
        }
        syncPending();
        if (countsChanged || counts.size() != countsBefore)
            WriteFailureCounts(dir, countsPath, counts);
        if (journalled && !syncFailed) ::unlink(journal.c_str());
    } catch (...) {
        // Out of memory while listing: the files stay for the next run.
    }
}

}  // namespace convert
