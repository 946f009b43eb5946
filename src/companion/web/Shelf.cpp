// The faxes as the mail store keeps them: the inbox and the filing folders
// of the account's profile, read only (no folder is made, nothing is moved).
#include "companion/web/Shelf.h"

#include <algorithm>
#include <cstdio>

#include "platform/Files.h"
#include "platform/Profile.h"

namespace web {
namespace {

using platform::Fail;
using platform::Status;

// Where the program files what it handled, under the root folder.
const std::vector<std::vector<std::string>> kFilingFolders = {
    {"VOXA-FAXes", "Printed"},
    {"VOXA-FAXes", "Unprintable"},
    {"Regular Faxes", "Printed"},
    {"Regular Faxes", "Unprintable"},
};

// "MM/DD/YYYY hh:mm:ss AM" as a number that sorts in time order.
long long OrderOf(const std::string& shown) {
    int mo = 0, d = 0, y = 0, h = 0, mi = 0, s = 0;
    char ampm[3] = {};
    if (std::sscanf(shown.c_str(), "%d/%d/%d %d:%d:%d %2s", &mo, &d, &y, &h, &mi, &s, ampm) < 6)
        return 0;
    if (h == 12) h = 0;
    if (ampm[0] == 'P' || ampm[0] == 'p') h += 12;
    return ((((y * 100LL + mo) * 100 + d) * 100 + h) * 100 + mi) * 100 + s;
}

std::shared_ptr<platform::MailFolder> Child(const std::shared_ptr<platform::MailFolder>& parent,
                                            const std::string& name) {
    auto n = parent->FolderCount();
    for (int i = 1; n && i <= *n; ++i) {
        auto f = parent->Folder(i);
        if (f && *f && (*f)->Name().value_or("") == name) return *f;
    }
    return nullptr;
}

}  // namespace

StoreShelf::StoreShelf(std::string profilePath, std::unique_ptr<platform::MailStoreProvider> stores,
                       std::shared_ptr<void> keep)
    : profilePath_(std::move(profilePath)), keep_(std::move(keep)), stores_(std::move(stores)) {}

platform::Result<std::unique_ptr<platform::MailSession>> StoreShelf::Open() {
    const std::string text = platform::ReadWholeFile(profilePath_).value_or("");
    const std::string profile =
        platform::ini::Lookup(text, "VOXA-FAX", "VoxaFax_Profile").value_or("");
    if (profile.empty())
        return Status::Error(Fail::NotFound, "VoxaFax_Profile is not set in " + profilePath_);
    auto session = stores_->CreateSession();
    if (!session) return session.status();
    if (auto st = (*session)->Logon(profile, false); !st) return st;
    return std::move(*session);
}

FaxEntry StoreShelf::Entry(platform::MailMessage& m, const std::string& folder) {
    FaxEntry e;
    e.id = m.ID().value_or("");
    e.folder = folder;
    e.sender = m.SenderAddress().value_or("");
    e.subject = m.Subject().value_or("");
    e.received = m.TimeReceived().value_or("");
    e.order = OrderOf(e.received);
    auto n = m.AttachmentCount();
    for (int i = 1; n && i <= *n; ++i) {
        auto a = m.Attachment(i);
        e.attachments.push_back(a && *a ? (*a)->Name().value_or("") : "");
    }
    return e;
}

platform::Result<std::vector<FaxEntry>> StoreShelf::All() {
    auto session = Open();
    if (!session) return session.status();
    std::vector<std::pair<std::string, std::shared_ptr<platform::MailFolder>>> folders;
    if (auto inbox = (*session)->Inbox(); inbox && *inbox) folders.emplace_back("Inbox", *inbox);
    auto info = (*session)->InfoStore(1);
    auto root = info && *info
                    ? (*info)->RootFolder()
                    : platform::Result<std::shared_ptr<platform::MailFolder>>(info.status());
    for (const auto& path : kFilingFolders) {
        if (!root || !*root) break;
        auto parent = Child(*root, path[0]);
        auto folder = parent ? Child(parent, path[1]) : nullptr;
        if (folder) folders.emplace_back(path[0] + "/" + path[1], folder);
    }
    std::vector<FaxEntry> all;
    for (auto& [name, folder] : folders) {
        auto count = folder->MessageCount();
        for (int i = 1; count && i <= *count; ++i) {
            auto m = folder->Message(i);
            if (m && *m) all.push_back(Entry(**m, name));
        }
    }
    (void)(*session)->Logoff();
    std::stable_sort(all.begin(), all.end(),
                     [](const FaxEntry& a, const FaxEntry& b) { return a.order > b.order; });
    for (const FaxEntry& e : all) folderOf_[e.id] = e.folder;
    return all;
}

platform::Result<std::vector<FaxEntry>> StoreShelf::Newest(std::size_t skip, std::size_t count,
                                                           std::size_t& total) {
    auto all = All();
    if (!all) return all.status();
    total = all->size();
    std::vector<FaxEntry> page;
    for (std::size_t i = skip; i < all->size() && page.size() < count; ++i)
        page.push_back((*all)[i]);
    return page;
}

platform::Result<FaxEntry> StoreShelf::Find(const std::string& id) {
    if (id.empty()) return Status::Error(Fail::NotFound, "no message named");
    auto session = Open();
    if (!session) return session.status();
    auto m = (*session)->GetMessage(id);
    if (!m || !*m) return m ? Status::Error(Fail::NotFound, "not in the store") : m.status();
    FaxEntry e = Entry(**m, folderOf_.count(id) ? folderOf_[id] : "");
    e.note = (*m)->Note().value_or("");
    return e;
}

platform::Status StoreShelf::WriteAttachment(const std::string& id, std::size_t index,
                                             const std::string& path) {
    auto session = Open();
    if (!session) return session.status();
    auto m = (*session)->GetMessage(id);
    if (!m || !*m) return Status::Error(Fail::NotFound, "not in the store");
    auto a = (*m)->Attachment(static_cast<int>(index) + 1);
    if (!a || !*a) return Status::Error(Fail::NotFound, "no such attachment");
    return (*a)->WriteToFile(path);
}

}  // namespace web
