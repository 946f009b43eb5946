#include "linux/maildir/MaildirStore.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>

#include "linux/maildir/MaildirFs.h"
#include "linux/maildir/MaildirReader.h"
#include "linux/maildir/MaildirWriter.h"
#include "linux/maildir/Mime.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

extern char** environ;

namespace platform {

using maildir::Entry;
using maildir::StoreState;

namespace {

// Maildir's own flags, so that other mail programs show them too: "R" is
// "replied to" (the receipt), "P" is "passed on" (to the printer).
char FlagOf(MessageMark mark) {
    return mark == MessageMark::Answered ? 'R' : 'P';
}

std::string Quoted(const std::vector<std::string>& names) {
    std::string out;
    for (const auto& n : names) out += (out.empty() ? "\"" : ", \"") + n + "\"";
    return out.empty() ? "none" : out;
}

std::string FindSection(const std::vector<std::string>& sections, const std::string& name) {
    for (const auto& s : sections)
        if (EqualsNoCase(s, name)) return s;
    return {};
}

Status NotLoggedOn() {
    return Status::Error(Fail::Rejected, "not logged on to a mail-store profile");
}

}  // namespace

Result<StoreProfile> ReadStoreProfile(const std::string& storesIni, const std::string& name) {
    auto text = ReadWholeFile(storesIni);
    if (!text)
        return Status::Error(Fail::NotFound, "names no profile in " + storesIni +
                                                 " (profiles: none; " + text.status().detail + ")");
    const std::vector<std::string> sections = ini::Sections(*text);
    StoreProfile p;
    p.name = FindSection(sections, name);
    if (p.name.empty())
        return Status::Error(Fail::NotFound, "names no profile in " + storesIni +
                                                 " (profiles: " + Quoted(sections) + ")");
    auto value = [&](const char* key) {
        auto v = ini::Lookup(*text, p.name, key);
        return v ? ini::StripComment(*v) : std::string();
    };
    p.maildir = value("maildir");
    p.deliver = value("deliver");
    if (p.maildir.empty())
        return Status::Error(Fail::Format,
                             "section [" + p.name + "] of " + storesIni + " has no maildir");
    return p;
}

struct MaildirStore::Where {
    std::string dir;  // the folder's Maildir
    Entry at;
    std::string Path() const { return dir + "/" + at.sub + "/" + at.name; }
};

MaildirStore::MaildirStore(std::string storesIni, Dialogs& dialogs, FileSyncer::Mode syncs)
    : storesIni_(std::move(storesIni)), dialogs_(dialogs), syncs_(syncs) {
    maildir::EnsureGMime();
}

MaildirStore::~MaildirStore() {
    LogOff();
}

Result<Logon> MaildirStore::LogOn(const std::string& profile, bool interactive) {
    LogOff();
    Result<StoreProfile> p = ReadStoreProfile(storesIni_, profile);
    if (!p && p.status().kind == Fail::NotFound && interactive) {
        const auto sections = ini::Sections(ReadWholeFile(storesIni_).value_or(""));
        if (!sections.empty())
            if (auto pick = dialogs_.Choose("Choose a mail-store profile", sections))
                p = ReadStoreProfile(storesIni_, *pick);
    }
    if (!p) return p.status();
    std::string dir = ExpandHome(p->maildir);
    while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
    if (dir.front() != '/') {
        char cwd[4096];
        if (::getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + dir;
    }
    if (Status st = maildir::MakeMaildir(dir); !st) {
        st.detail += "; check maildir in section [" + p->name + "] of " + storesIni_;
        return st;
    }
    deliver_ = p->deliver;
    store_ = std::make_unique<StoreState>(syncs_);
    store_->root = dir;
    store_->profile = p->name;
    return Logon{p->name, dir};
}

void MaildirStore::LogOff() {
    // Messages stored and never synced were never promised to anyone.
    if (store_)
        while (!store_->unsynced.empty())
            maildir::DropUnsynced(*store_, store_->unsynced.begin()->first);
    store_.reset();
    loaded_.clear();
    places_.clear();
}

Status MaildirStore::DeliverNow() {
    if (!store_) return NotLoggedOn();
    if (deliver_.empty()) return Status::Ok();
    return RunDeliver();
}

Result<FolderId> MaildirStore::Folder(const std::vector<std::string>& path) {
    if (!store_) return NotLoggedOn();
    if (path.empty()) return Status::Error(Fail::Format, "no folder named");
    std::string entry;
    for (const std::string& name : path) {
        Result<std::string> esc = maildir::EscapeFolderName(name);
        if (!esc) return esc.status();
        entry += "." + *esc;
        if (entry.size() > 250) return Status::Error(Fail::Format, "folder path too long: " + name);
        const std::string dir = store_->root + "/" + entry;
        if (maildir::IsMaildir(dir)) continue;
        if (Status st = maildir::MakeMaildir(dir); !st) return st;
        // Maildir++ readers tell folders from the inbox by this file.
        const std::string marker = dir + "/maildirfolder";
        UniqueFd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (!fd) return ErrnoStatus(Fail::Io, "cannot create " + marker);
        if (Status st = fd.Close(marker); !st) return st;
    }
    return store_->root + "/" + entry;
}

Result<std::string> MaildirStore::FolderDir(const FolderId& folder) const {
    if (!store_) return NotLoggedOn();
    auto dir = store_->FolderDir(folder);
    if (!dir) return Status::Error(Fail::NotFound, "no folder " + folder);
    return *dir;
}

Result<std::vector<MessageId>> MaildirStore::List(const FolderId& folder) {
    Result<std::string> dir = FolderDir(folder);
    if (!dir) return dir.status();
    // The folder as it stands once its stored messages are in place; those
    // that cannot be synced are not stored.
    (void)Settle(*dir);
    std::vector<MessageId> ids;
    for (Entry& e : maildir::ListMessages(*dir)) {
        ids.push_back(*dir + "/" + maildir::BaseOf(e.name));
        store_->known[ids.back()] = std::move(e);
    }
    return ids;
}

// Finds the file again when another reader moved it or changed its flags.
// With settle, a message stored and not yet synced is synced first: it is
// never renamed into view before its folder's sync.
Result<MaildirStore::Where> MaildirStore::Find(const MessageId& id, bool settle) {
    if (!store_) return NotLoggedOn();
    std::string dir, base;
    if (!maildir::SplitMessageId(id, dir, base) || !store_->FolderDir(dir))
        return Status::Error(Fail::NotFound, "no message " + id);
    if (auto it = store_->known.find(id);
        settle && it != store_->known.end() && it->second.sub == "tmp")
        if (Status st = Settle(dir); !st) return st;
    if (auto it = store_->known.find(id); it != store_->known.end()) {
        Where w{dir, it->second};
        if (::access(w.Path().c_str(), F_OK) == 0) return w;
    }
    auto hit = maildir::Locate(dir, base);
    if (!hit) return Status::Error(Fail::NotFound, "message " + base + " is gone");
    store_->known[id] = *hit;
    return Where{dir, std::move(*hit)};
}

Result<StoredMessage> MaildirStore::Load(const MessageId& id) {
    Result<Where> w = Find(id);
    if (!w) return w.status();
    StoredMessage m;
    std::vector<maildir::AttachmentPlace> places;
    if (Status st = maildir::ParseMessageFile(w->Path(), m, places); !st) return st;
    m.id = id;
    // When the store received it: the time in a delivery name, else the
    // file's time.
    if (auto t = maildir::DeliveryTimeOf(w->at.name)) {
        m.timeReceived = FormatStoreTime(*t);
    } else {
        struct stat sb {};
        if (::stat(w->Path().c_str(), &sb) == 0) m.timeReceived = FormatStoreTime(sb.st_mtime);
    }
    // A message not yet synced has the flags its sync will give it.
    std::string flags = maildir::FlagsOf(w->at.name);
    if (w->at.sub == "tmp")
        for (const maildir::Pending& p : store_->unsynced[w->dir])
            if (p.base == w->at.name) flags = maildir::FlagsOf(p.at.name);
    for (MessageMark mark : {MessageMark::Printed, MessageMark::Answered})
        if (flags.find(FlagOf(mark)) != std::string::npos) m.marks.insert(mark);
    m.unread = flags.find('S') == std::string::npos;
    loaded_ = id;
    places_ = std::move(places);
    return m;
}

Status MaildirStore::WriteAttachment(const MessageId& id, std::size_t index,
                                     const std::string& path) {
    Result<Where> w = Find(id);
    if (!w) return w.status();
    if (loaded_ != id) {
        StoredMessage m;
        std::vector<maildir::AttachmentPlace> places;
        if (Status st = maildir::ParseMessageFile(w->Path(), m, places); !st) return st;
        loaded_ = id;
        places_ = std::move(places);
    }
    if (index >= places_.size())
        return Status::Error(Fail::NotFound, "no attachment " + std::to_string(index + 1));
    return maildir::WriteAttachmentToFile(w->Path(), places_[index], path);
}

Result<MessageId> MaildirStore::Store(const FolderId& folder, const NewMessage& message) {
    Result<std::string> dir = FolderDir(folder);
    if (!dir) return dir.status();
    Result<Entry> at = maildir::DeliverMessage(*store_, *dir, message);
    if (!at) return at.status();
    MessageId id = *dir + "/" + maildir::BaseOf(at->name);
    store_->known[id] = std::move(*at);
    return id;
}

Status MaildirStore::Sync(const FolderId& folder) {
    Result<std::string> dir = FolderDir(folder);
    if (!dir) return dir.status();
    Status st = maildir::SyncDelivered(*store_, *dir);
    if (auto it = store_->failedSync.find(*dir); it != store_->failedSync.end()) {
        st = it->second;
        store_->failedSync.erase(it);
    }
    if (!st) return st;
    // The moves into and out of the folder: one sync of each sub-folder for
    // all of them. One this logon has not synced yet is synced all the same,
    // for the moves of a run that ended before it synced them.
    for (const char* sub : {"/new", "/cur"}) {
        const std::string path = *dir + sub;
        if (store_->settled.count(path)) continue;
        if (Status synced = FsyncFolder(path); !synced) return synced;
        store_->settled.insert(path);
    }
    return Status::Ok();
}

Status MaildirStore::Seal(const FolderId& folder) {
    Result<std::string> dir = FolderDir(folder);
    if (!dir) return dir.status();
    maildir::SealDelivered(*store_, *dir);
    return Status::Ok();
}

// A sync that failed on its own since is reported here too, and kept for the
// folder's next Sync: it may have taken back messages stored after the mark.
Result<bool> MaildirStore::SyncSealed(const FolderId& folder, bool wait) {
    Result<std::string> dir = FolderDir(folder);
    if (!dir) return dir.status();
    if (auto it = store_->failedSync.find(*dir); it != store_->failedSync.end()) return it->second;
    return maildir::SyncSealed(*store_, *dir, wait);
}

Status MaildirStore::Settle(const std::string& dir) {
    Status st = maildir::SyncDelivered(*store_, dir);
    if (!st) store_->failedSync.insert_or_assign(dir, st);
    return st;
}

Status MaildirStore::Reflag(const MessageId& id, Where& w, const std::string& flags, bool durable) {
    const Entry to{"cur", maildir::BaseOf(w.at.name) + ":2," + flags};
    const std::string from = w.Path();
    const std::string fromSub = w.dir + "/" + w.at.sub;
    if (to.name == w.at.name && w.at.sub == "cur") return Status::Ok();
    if (::rename(from.c_str(), (w.dir + "/cur/" + to.name).c_str()) != 0)
        return ErrnoStatus(Fail::Io, "cannot flag " + from);
    w.at = to;
    store_->known[id] = to;
    store_->settled.erase(w.dir + "/cur");
    store_->settled.erase(fromSub);
    if (!durable) return Status::Ok();
    // A mark guards against printing or answering twice after a crash: it
    // must be on disk before the step it guards begins.
    if (Status st = FsyncFolder(w.dir + "/cur"); !st) return st;
    if (fromSub != w.dir + "/cur")
        if (Status st = FsyncFolder(fromSub); !st) return st;
    store_->settled.insert(w.dir + "/cur");
    store_->settled.insert(fromSub);
    return Status::Ok();
}

Status MaildirStore::Mark(const MessageId& id, MessageMark mark) {
    Result<Where> w = Find(id, true);
    if (!w) return w.status();
    return Reflag(id, *w, maildir::WithFlag(maildir::FlagsOf(w->at.name), FlagOf(mark), true),
                  true);
}

Status MaildirStore::SetUnread(const MessageId& id, bool unread) {
    Result<Where> w = Find(id, true);
    if (!w) return w.status();
    return Reflag(id, *w, maildir::WithFlag(maildir::FlagsOf(w->at.name), 'S', !unread), false);
}

Result<MessageId> MaildirStore::Move(const MessageId& id, const FolderId& to) {
    Result<std::string> target = FolderDir(to);
    if (!target) return target.status();
    Result<Where> w = Find(id, true);
    if (!w) return w.status();
    std::string base = maildir::BaseOf(w->at.name);
    const std::string flags = maildir::FlagsOf(w->at.name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        const Entry now{"cur", base + ":2," + flags};
        const std::string dest = *target + "/cur/" + now.name;
        if (dest == w->Path()) return id;
        if (int err = maildir::RenameNoReplace(w->Path(), dest); err != 0) {
            if (err != EEXIST)
                return Status::Error(Fail::Io,
                                     "cannot move into " + *target + ": " + std::strerror(err));
            // Another message has this name there: this one gets a fresh one.
            base = maildir::UniqueName(
                maildir::DeliveryTimeOf(base).value_or(static_cast<std::int64_t>(::time(nullptr))),
                ++store_->counter);
            continue;
        }
        store_->known.erase(id);
        MessageId moved = *target + "/" + base;
        store_->known[moved] = now;
        // Not synced here: the caller syncs both folders once for all the
        // moves that nothing waits for meanwhile.
        store_->settled.erase(*target + "/cur");
        store_->settled.erase(w->dir + "/" + w->at.sub);
        return moved;
    }
    return Status::Error(Fail::Io, "cannot find a free name in " + *target);
}

// The command runs with MAILDIR set and its output on our standard error
// (standard output belongs to the program); we wait for it to end.
Status MaildirStore::RunDeliver() {
    std::vector<std::string> env;
    for (char** e = environ; e && *e; ++e)
        if (std::strncmp(*e, "MAILDIR=", 8) != 0) env.emplace_back(*e);
    env.push_back("MAILDIR=" + store_->root);
    std::vector<char*> envp;
    for (auto& e : env) envp.push_back(e.data());
    envp.push_back(nullptr);
    std::string sh = "/bin/sh", dashC = "-c", cmd = deliver_;
    char* argv[] = {sh.data(), dashC.data(), cmd.data(), nullptr};

    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, "/dev/null", O_RDONLY, 0);
    posix_spawn_file_actions_adddup2(&fa, 2, 1);
    pid_t pid = 0;
    int rc = ::posix_spawn(&pid, "/bin/sh", &fa, nullptr, argv, envp.data());
    posix_spawn_file_actions_destroy(&fa);
    if (rc != 0)
        return Status::Error(Fail::Internal,
                             std::string("cannot start deliver: ") + std::strerror(rc));
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0) {
        if (errno != EINTR) return ErrnoStatus(Fail::Internal, "cannot wait for deliver");
    }
    if (WIFEXITED(status) && WEXITSTATUS(status) == 0) return Status::Ok();
    return Status::Error(
        Fail::Rejected,
        "deliver command ended with status " +
            std::to_string(WIFEXITED(status) ? WEXITSTATUS(status) : 128 + WTERMSIG(status)));
}

}  // namespace platform
