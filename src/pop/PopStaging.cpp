#include "pop/PopStaging.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>
#include <set>
#include <utility>

#include "config/RunGlobals.h"
#include "platform/Files.h"
#include "platform/Log.h"

namespace pop {
namespace {

constexpr std::int64_t kDaySeconds = 24 * 60 * 60;

bool EndsWith(const std::string& s, std::string_view end) {
    return s.size() >= end.size() && s.compare(s.size() - end.size(), end.size(), end) == 0;
}

// The length and hash of a downloaded message's content, the server's reply
// line left out: that line may differ between sessions (some servers put the
// message number in it). Empty when the file cannot be read.
std::string ContentDigest(const std::string& path,
                          platform::DigestForm form = platform::DigestForm::Current) {
    return platform::FileDigest(path, true, form).value_or("");
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // A file system without the flag: link and unlink never replace either.
    if (::link(from.c_str(), to.c_str()) != 0) return errno;
    ::unlink(from.c_str());
    return 0;
}

}  // namespace

PopStaging::PopStaging(config::RunGlobals& run, platform::Log& log)
    : moveFile(RenameNoReplace), run_(run), log_(log), inDir_(run.gInDir), dir_(inDir_ + ".pop/") {}

void PopStaging::Open(std::int64_t now) {
    now_ = now;
    undelivered_ = 0;
    staged_.clear();
    list_.clear();
    listChanged_ = false;
    (void)platform::MakeFolders(dir_);

    std::string text = platform::ReadWholeFile(List()).value_or("");
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        Remembered r;
        const std::size_t b1 = line.find(' ');
        r.digest = line.substr(0, b1);
        r.since = now;  // an entry written without a time ages from now
        if (b1 != std::string::npos) {
            const std::size_t b2 = line.find(' ', b1 + 1);
            r.since = std::atoll(line.substr(b1 + 1, b2 - b1 - 1).c_str());
            if (b2 != std::string::npos && line.substr(b2 + 1) != "-") r.uid = line.substr(b2 + 1);
        }
        if (!r.digest.empty()) list_.push_back(std::move(r));
    }

    // What an earlier session left: partial downloads are still on the
    // server; whole ones may not be.
    std::vector<std::string> names = platform::ListFolder(dir_).value_or({});
    std::sort(names.begin(), names.end());
    for (const std::string& name : names) {
        if (EndsWith(name, ".part"))
            ::unlink((dir_ + name).c_str());
        else if (EndsWith(name, ".TXT"))
            staged_.push_back(Staged{0, name, "", -1, false});
    }
    ::unlink((dir_ + "quit-sent").c_str());  // left by earlier versions; nothing depends on it
    Deliver([](const Staged&) { return true; });
    staged_.clear();

    // This session's names must not meet a leftover that could not be moved.
    token_ = std::to_string(now) + "-" + std::to_string(::getpid());
    const auto taken = [&] {
        for (const std::string& n : platform::ListFolder(dir_).value_or({}))
            if (n.rfind(token_ + "_", 0) == 0) return true;
        return false;
    };
    for (int k = 2; taken(); ++k)
        token_ = std::to_string(now) + "-" + std::to_string(::getpid()) + "-" + std::to_string(k);
}

std::string PopStaging::PartFor(int number) const {
    return dir_ + token_ + "_" + std::to_string(number) + ".part";
}

std::string PopStaging::StagedFor(int number) const {
    return dir_ + token_ + "_" + std::to_string(number) + ".TXT";
}

PopStaging::Arrival PopStaging::Whole(int number, const std::string& uid) {
    const std::string part = PartFor(number);
    Staged s{number, token_ + "_" + std::to_string(number) + ".TXT", uid, -1, false};
    // The digest is needed only to recognise a remembered message; one
    // remembered by an earlier version is compared in that version's form.
    if (!list_.empty()) {
        std::string digests[2];  // by platform::DigestForm, taken when first needed
        for (std::size_t i = 0; i < list_.size(); ++i) {
            Remembered& r = list_[i];
            if (r.matched || r.drop) continue;
            const platform::DigestForm form = platform::FormOf(r.digest);
            std::string& digest = digests[static_cast<int>(form)];
            if (digest.empty()) digest = ContentDigest(part, form);
            if (digest.empty() || r.digest != digest) continue;
            r.matched = true;
            ::unlink(part.c_str());
            s.name.clear();
            s.entry = static_cast<int>(i);
            staged_.push_back(std::move(s));
            return Arrival::Copy;
        }
    }
    if (::rename(part.c_str(), (dir_ + s.name).c_str()) != 0) {
        log_.Error("cannot rename " + part + " to " + s.name + ": " + std::strerror(errno) +
                   "; the message stays on the server");
        run_.NoteFailure(config::RunFailure::Storage);
        ::unlink(part.c_str());
        return Arrival::Failed;
    }
    staged_.push_back(std::move(s));
    return Arrival::New;
}

void PopStaging::Deleted(int number) {
    if (Staged* s = Find(number)) {
        s->deleted = true;
        if (s->entry >= 0) list_[static_cast<std::size_t>(s->entry)].deleted = true;
    }
}

void PopStaging::OnServer(const std::vector<std::string>& uids) {
    std::set<std::string> ids;
    for (const std::string& u : uids)
        if (!u.empty()) ids.insert(u);
    if (ids.empty()) return;  // the server gave none: nothing can be told from them
    for (Remembered& r : list_) {
        if (!r.uid.empty() && !r.drop && !ids.count(r.uid)) {
            r.drop = true;
            listChanged_ = true;
        }
    }
}

// Once QUIT is sent the server may delete the originals at any moment, so
// the copies must be on the disk first (a killed process loses nothing from
// the page cache; a power cut would). One sync of the file system covers
// every file of the session and the folder's entries however many messages
// there are, where a sync per message would cost a flush of the disk each:
// several times slower, on a quiet disk and on a busy one alike
// (bench/sync_choice.sh). Each download started its write-back when it was
// whole, so little is left to write here.
bool PopStaging::Sync() {
    const platform::Status st = platform::SyncFileSystem(dir_);
    if (st) return true;
    log_.Error("cannot write the downloaded messages in " + dir_ + " to the disk: " + st.detail +
               "; QUIT is not sent, so the server keeps them");
    run_.NoteFailure(config::RunFailure::Storage);
    return false;
}

void PopStaging::QuitConfirmed(bool sawAll) {
    for (Remembered& r : list_) {
        if ((r.matched && r.deleted) || (sawAll && !r.matched)) {
            r.drop = true;
            listChanged_ = true;
        }
    }
    // A message whose DELE was refused is still on the server.
    Deliver([](const Staged& s) { return !s.deleted; });
    staged_.clear();
}

void PopStaging::Close() {
    Deliver([](const Staged&) { return true; });
    staged_.clear();
}

void PopStaging::Deliver(const std::function<bool(const Staged&)>& remember) {
    std::vector<const Staged*> listed;
    for (const Staged& s : staged_) {
        if (s.name.empty() || !remember(s)) continue;
        const std::string digest = ContentDigest(dir_ + s.name);
        if (digest.empty()) continue;  // unreadable now: it stays staged, the next run tries again
        list_.push_back(Remembered{digest, now_, s.uid});
        listChanged_ = true;
        listed.push_back(&s);
    }
    DropOldEntries();
    // The list must be on the disk before a message it names can reach In/:
    // else a crash between the two would deliver it twice.
    const bool saved = !listChanged_ || SaveList();
    for (const Staged& s : staged_) {
        if (s.name.empty()) continue;
        const bool needsList = remember(s);
        if ((needsList &&
             (!saved || std::find(listed.begin(), listed.end(), &s) == listed.end())) ||
            !MoveIntoIn(s.name))
            ++undelivered_;
    }
}

void PopStaging::DropOldEntries() {
    for (Remembered& r : list_) {
        if (!r.drop && r.since < now_ - kRememberDays * kDaySeconds) {
            r.drop = true;
            listChanged_ = true;
        }
    }
}

bool PopStaging::SaveList() {
    std::string text;
    for (const Remembered& r : list_) {
        if (r.drop) continue;
        text +=
            r.digest + " " + std::to_string(r.since) + " " + (r.uid.empty() ? "-" : r.uid) + "\n";
    }
    const platform::Status st =
        text.empty() ? platform::Status::Ok() : platform::WriteFileAtomically(List(), text, 0600);
    if (text.empty()) ::unlink(List().c_str());
    if (!st) {
        log_.Error("cannot write " + List() + ": " + st.detail +
                   "; the downloaded messages stay in " + dir_ + " until it can be written");
        run_.NoteFailure(config::RunFailure::Storage);
        return false;
    }
    listChanged_ = false;
    return true;
}

// "<token>_<n>.TXT" becomes "<n>.TXT" in In/ (or "<n>-2.TXT" and so on when
// that is taken): the conversion knows downloads by those names.
bool PopStaging::MoveIntoIn(const std::string& name) {
    const std::string base = name.substr(name.rfind('_') + 1);
    const std::string stem = base.substr(0, base.size() - 4);
    int err = EEXIST;
    std::string target;
    for (int k = 1; err == EEXIST && k < 10000; ++k) {
        target = inDir_ + (k == 1 ? base : stem + "-" + std::to_string(k) + ".TXT");
        err = moveFile(dir_ + name, target);
    }
    if (err == 0) {
        if (movedIntoIn) movedIntoIn(dir_ + name, target);
        return true;
    }
    log_.Error("cannot move " + dir_ + name + " to " + target + ": " + std::strerror(err) +
               "; it stays there and the next run moves it");
    run_.NoteFailure(config::RunFailure::Storage);
    return false;
}

PopStaging::Staged* PopStaging::Find(int number) {
    for (Staged& s : staged_)
        if (s.number == number) return &s;
    return nullptr;
}

}  // namespace pop
