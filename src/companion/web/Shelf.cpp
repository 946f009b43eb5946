// The faxes as the mail store keeps them: the inbox and the filing folders
// of the account's profile. Nothing is moved, marked or changed; a filing
// folder that does not exist yet is made, as the next run would make it.
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

}  // namespace

StoreShelf::StoreShelf(std::string profilePath, std::unique_ptr<platform::MailStore> store,
                       std::shared_ptr<void> keep)
    : profilePath_(std::move(profilePath)), keep_(std::move(keep)), store_(std::move(store)) {}

platform::Result<std::vector<StoreShelf::Listed>> StoreShelf::Open() {
    const std::string text = platform::ReadWholeFile(profilePath_).value_or("");
    const std::string profile =
        platform::ini::Lookup(text, "VOXA-FAX", "VoxaFax_Profile").value_or("");
    if (profile.empty())
        return Status::Error(Fail::NotFound, "VoxaFax_Profile is not set in " + profilePath_);
    auto logon = store_->LogOn(profile, false);
    if (!logon) return logon.status();
    std::vector<Listed> folders;
    if (auto ids = store_->List(logon->inbox)) folders.push_back({"Inbox", std::move(*ids)});
    for (const auto& path : kFilingFolders) {
        auto folder = store_->Folder(path);
        if (!folder) continue;
        if (auto ids = store_->List(*folder))
            folders.push_back({path[0] + "/" + path[1], std::move(*ids)});
    }
    return folders;
}

FaxEntry StoreShelf::Entry(const platform::StoredMessage& m, const std::string& folder) {
    FaxEntry e;
    e.id = m.id;
    e.folder = folder;
    e.sender = m.senderAddress;
    e.subject = m.subject;
    e.received = m.timeReceived;
    e.order = OrderOf(e.received);
    for (const platform::Attachment& a : m.attachments) e.attachments.push_back(a.name);
    e.note = m.note;
    return e;
}

// Each folder lists its messages in the order they arrived, so the newest
// `skip + count` of all are among the newest `skip + count` of each folder:
// only those are read, however many the folders hold.
platform::Result<std::vector<FaxEntry>> StoreShelf::Newest(std::size_t skip, std::size_t count,
                                                           std::size_t& total) {
    auto folders = Open();
    if (!folders) return folders.status();
    total = 0;
    std::vector<FaxEntry> candidates;
    for (const Listed& f : *folders) {
        total += f.ids.size();
        const std::size_t take = std::min(f.ids.size(), skip + count);
        for (std::size_t i = f.ids.size() - take; i < f.ids.size(); ++i) {
            // One that a run moved since the listing is left out.
            if (auto m = store_->Load(f.ids[i])) candidates.push_back(Entry(*m, f.folder));
        }
    }
    std::stable_sort(candidates.begin(), candidates.end(),
                     [](const FaxEntry& a, const FaxEntry& b) { return a.order > b.order; });
    std::vector<FaxEntry> page;
    for (std::size_t i = skip; i < candidates.size() && page.size() < count; ++i)
        page.push_back(std::move(candidates[i]));
    return page;
}

// Only a message of the folders shown is looked up: an ID is the store's own
// text (a file's path for the Maildir store), and a request must not name
// any other file to be read as a message.
platform::Result<std::string> StoreShelf::FolderOf(const std::string& id) {
    auto folders = Open();
    if (!folders) return folders.status();
    for (const Listed& f : *folders)
        if (std::find(f.ids.begin(), f.ids.end(), id) != f.ids.end()) return f.folder;
    return Status::Error(Fail::NotFound, "not in the inbox or a filing folder");
}

platform::Result<FaxEntry> StoreShelf::Find(const std::string& id) {
    auto folder = FolderOf(id);
    if (!folder) return folder.status();
    auto m = store_->Load(id);
    if (!m) return m.status();
    return Entry(*m, *folder);
}

platform::Status StoreShelf::WriteAttachment(const std::string& id, std::size_t index,
                                             const std::string& path) {
    auto folder = FolderOf(id);
    if (!folder) return folder.status();
    return store_->WriteAttachment(id, index, path);
}

}  // namespace web
