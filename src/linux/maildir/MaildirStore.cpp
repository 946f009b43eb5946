#include "linux/maildir/MaildirStore.h"

#include <dirent.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "linux/maildir/DraftMessage.h"
#include "linux/maildir/MaildirFs.h"
#include "linux/maildir/MaildirWriter.h"
#include "linux/maildir/Mime.h"
#include "linux/maildir/StoredMessage.h"

extern char** environ;

namespace platform {
namespace {

using maildir::StoreState;

// One folder of the tree. The top folder holds no messages; its sub-folders
// are the Maildir++ folders ".X". The inbox is the root Maildir itself.
class MaildirFolder final : public MailFolder {
  public:
    enum class Kind { Top, Inbox, Sub };

    MaildirFolder(std::shared_ptr<StoreState> store, Kind kind, std::string entry, std::string name)
        : store_(std::move(store)), kind_(kind), entry_(std::move(entry)), name_(std::move(name)) {}

    Result<std::string> Name() override { return name_; }
    Result<std::string> ID() override {
        switch (kind_) {
            case Kind::Top:
                return "top:" + store_->root;
            case Kind::Inbox:
                return store_->InboxId();
            case Kind::Sub:
                break;
        }
        return Dir();
    }
    Result<int> FolderCount() override {
        ListFolders();
        return static_cast<int>(folders_.size());
    }
    Result<std::shared_ptr<MailFolder>> Folder(int index) override {
        if (!listedFolders_) ListFolders();
        if (index < 1 || static_cast<std::size_t>(index) > folders_.size())
            return Status::Error(Fail::NotFound, "no folder " + std::to_string(index));
        const std::string& entry = folders_[static_cast<std::size_t>(index - 1)];
        if (!maildir::IsMaildir(store_->root + "/" + entry))
            return Status::Error(Fail::NotFound, "folder " + entry + " is gone");
        return std::shared_ptr<MailFolder>(
            std::make_shared<MaildirFolder>(store_, Kind::Sub, entry, LastName(entry)));
    }
    Result<std::shared_ptr<MailFolder>> AddFolder(const std::string& name) override {
        if (kind_ == Kind::Inbox)
            return Status::Error(Fail::Rejected, "folders are made under the root folder");
        Result<std::string> esc = maildir::EscapeFolderName(name);
        if (!esc) return esc.status();
        std::string entry = (kind_ == Kind::Top ? std::string() : entry_) + "." + *esc;
        if (entry.size() > 250) return Status::Error(Fail::Format, "folder path too long: " + name);
        std::string dir = store_->root + "/" + entry;
        if (Status st = maildir::MakeMaildir(dir); !st) return st;
        // Maildir++ readers tell folders from the inbox by this file.
        const std::string marker = dir + "/maildirfolder";
        UniqueFd fd(::open(marker.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC, 0600));
        if (!fd) return ErrnoStatus(Fail::Io, "cannot create " + marker);
        if (Status st = fd.Close(marker); !st) return st;
        return std::shared_ptr<MailFolder>(
            std::make_shared<MaildirFolder>(store_, Kind::Sub, entry, name));
    }
    Result<int> MessageCount() override {
        listing_.clear();
        if (kind_ != Kind::Top) listing_ = maildir::ListMessages(Dir());
        return static_cast<int>(listing_.size());
    }
    Result<std::shared_ptr<MailMessage>> Message(int index) override {
        if (index < 1 || static_cast<std::size_t>(index) > listing_.size())
            return Status::Error(Fail::NotFound, "no message " + std::to_string(index));
        const maildir::Entry& e = listing_[static_cast<std::size_t>(index - 1)];
        std::string sub = e.sub, name = e.name;
        std::string path = Dir() + "/" + sub + "/" + name;
        if (::access(path.c_str(), F_OK) != 0) {
            auto hit = maildir::Locate(Dir(), maildir::BaseOf(name));
            if (!hit)
                return Status::Error(Fail::NotFound,
                                     "message " + std::to_string(index) + " is gone");
            sub = hit->sub;
            name = hit->name;
        }
        return maildir::OpenStoredMessage(store_, Dir(), maildir::Entry{sub, name});
    }
    Result<std::shared_ptr<MailMessage>> AddMessage() override {
        if (kind_ == Kind::Top)
            return Status::Error(Fail::Rejected, "the root folder holds no messages");
        return maildir::NewDraftMessage(store_, Dir());
    }
    Status SyncNew() override { return maildir::SyncDelivered(*store_, Dir()); }

  private:
    std::string Dir() const {
        return kind_ == Kind::Sub ? store_->root + "/" + entry_ : store_->root;
    }

    static std::string LastName(const std::string& entry) {
        std::size_t dot = entry.find_last_of('.');
        return maildir::UnescapeFolderName(entry.substr(dot + 1));
    }

    void ListFolders() {
        listedFolders_ = true;
        folders_.clear();
        if (kind_ == Kind::Inbox) return;
        std::string prefix = (kind_ == Kind::Top ? std::string() : entry_) + ".";
        DIR* d = ::opendir(store_->root.c_str());
        if (!d) return;
        while (dirent* de = ::readdir(d)) {
            std::string n = de->d_name;
            if (n.size() <= prefix.size() || n.compare(0, prefix.size(), prefix) != 0) continue;
            std::string rest = n.substr(prefix.size());
            if (rest.find('.') != std::string::npos) continue;  // deeper level
            if (!maildir::IsMaildir(store_->root + "/" + n)) continue;
            folders_.push_back(n);
        }
        ::closedir(d);
        std::sort(folders_.begin(), folders_.end());
    }

    std::shared_ptr<StoreState> store_;
    Kind kind_;
    std::string entry_;  // ".A.B" for a sub-folder
    std::string name_;
    bool listedFolders_ = false;
    std::vector<std::string> folders_;
    std::vector<maildir::Entry> listing_;
};

class MaildirInfoStore final : public MailInfoStore {
  public:
    explicit MaildirInfoStore(std::shared_ptr<StoreState> store) : store_(std::move(store)) {}
    Result<std::string> ID() override { return "maildir:" + store_->root; }
    Result<std::shared_ptr<MailFolder>> RootFolder() override {
        return std::shared_ptr<MailFolder>(
            std::make_shared<MaildirFolder>(store_, MaildirFolder::Kind::Top, "", store_->profile));
    }

  private:
    std::shared_ptr<StoreState> store_;
};

class MaildirSession final : public MailSession {
  public:
    MaildirSession(std::string storesIni, Dialogs& dialogs)
        : storesIni_(std::move(storesIni)), dialogs_(dialogs) {}

    Status Logon(const std::string& profileName, bool interactive) override {
        store_.reset();
        auto text = ReadWholeFile(storesIni_);
        if (!text) return Status::Error(Fail::NotFound, "cannot read " + storesIni_);
        std::vector<std::string> sections = ini::Sections(*text);
        std::string section = Find(sections, profileName);
        if (section.empty() && interactive && !sections.empty()) {
            if (auto pick = dialogs_.Choose("Choose a mail-store profile", sections))
                section = Find(sections, *pick);
        }
        if (section.empty())
            return Status::Error(Fail::NotFound, "no mail-store profile " + profileName);
        auto dirValue = ini::Lookup(*text, section, "maildir");
        std::string dir = dirValue ? ini::StripComment(*dirValue) : std::string();
        if (dir.empty())
            return Status::Error(Fail::Format, "profile " + section + " has no maildir");
        dir = ExpandHome(dir);
        while (dir.size() > 1 && dir.back() == '/') dir.pop_back();
        if (dir.front() != '/') {
            char cwd[4096];
            if (::getcwd(cwd, sizeof cwd)) dir = std::string(cwd) + "/" + dir;
        }
        if (Status st = maildir::MakeMaildir(dir); !st) return st;
        auto deliver = ini::Lookup(*text, section, "deliver");
        deliver_ = deliver ? ini::StripComment(*deliver) : std::string();
        auto st = std::make_shared<StoreState>();
        st->root = dir;
        st->profile = section;
        store_ = std::move(st);
        return Status::Ok();
    }
    Result<std::string> Name() override {
        if (Status s = Need(); !s) return s;
        return store_->profile;
    }
    Result<std::shared_ptr<MailFolder>> Inbox() override {
        if (Status s = Need(); !s) return s;
        return std::shared_ptr<MailFolder>(
            std::make_shared<MaildirFolder>(store_, MaildirFolder::Kind::Inbox, "", "Inbox"));
    }
    Result<int> InfoStoreCount() override {
        if (Status s = Need(); !s) return s;
        return 1;
    }
    Result<std::shared_ptr<MailInfoStore>> InfoStore(int index) override {
        if (Status s = Need(); !s) return s;
        if (index != 1)
            return Status::Error(Fail::NotFound, "no info store " + std::to_string(index));
        return std::shared_ptr<MailInfoStore>(std::make_shared<MaildirInfoStore>(store_));
    }
    Status DeliverNow() override {
        if (Status s = Need(); !s) return s;
        if (deliver_.empty()) return Status::Ok();
        return RunDeliver();
    }
    Result<std::shared_ptr<MailMessage>> GetMessage(const std::string& id) override {
        if (Status s = Need(); !s) return s;
        std::string dir, base;
        if (!maildir::SplitMessageId(id, dir, base) || !store_->FolderDir(dir))
            return Status::Error(Fail::NotFound, "no message " + id);
        auto hit = maildir::Locate(dir, base);
        if (!hit) return Status::Error(Fail::NotFound, "no message " + id);
        return maildir::OpenStoredMessage(store_, dir, std::move(*hit));
    }
    Status Logoff() override {
        if (Status s = Need(); !s) return s;
        store_.reset();
        return Status::Ok();
    }

  private:
    Status Need() const {
        if (!store_) return Status::Error(Fail::Rejected, "not logged on");
        return Status::Ok();
    }

    static std::string Find(const std::vector<std::string>& sections, const std::string& name) {
        for (const auto& s : sections)
            if (EqualsNoCase(s, name)) return s;
        return {};
    }

    // The command runs with MAILDIR set and its output on our standard error
    // (standard output belongs to the program); we wait for it to end.
    Status RunDeliver() {
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

    std::string storesIni_;
    Dialogs& dialogs_;
    std::shared_ptr<StoreState> store_;
    std::string deliver_;
};

}  // namespace

MaildirStoreProvider::MaildirStoreProvider(std::string storesIni, Dialogs& dialogs)
    : storesIni_(std::move(storesIni)), dialogs_(dialogs) {}

Result<std::unique_ptr<MailSession>> MaildirStoreProvider::CreateSession() {
    maildir::EnsureGMime();
    return std::unique_ptr<MailSession>(std::make_unique<MaildirSession>(storesIni_, dialogs_));
}

}  // namespace platform
