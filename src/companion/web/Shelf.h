#pragma once
// The faxes of the account's mail store, for the Faxes pages.
#include <map>
#include <memory>
#include <string>

#include "companion/web/Faxes.h"
#include "platform/MailStore.h"

namespace web {

class StoreShelf final : public FaxShelf {
  public:
    // profilePath: the profile file that names the store's profile
    // (VoxaFax_Profile), read at every call so that a change shows at once.
    // `keep` holds what the store needs for as long as it lives.
    StoreShelf(std::string profilePath, std::unique_ptr<platform::MailStore> store,
               std::shared_ptr<void> keep = {});

    platform::Result<std::vector<FaxEntry>> Newest(std::size_t skip, std::size_t count,
                                                   std::size_t& total) override;
    platform::Result<FaxEntry> Find(const std::string& id) override;
    platform::Status WriteAttachment(const std::string& id, std::size_t index,
                                     const std::string& path) override;

  private:
    // Logs on to the profile the profile file names now; the folders to
    // show, by name, with their messages' IDs (oldest first).
    struct Listed {
        std::string folder;
        std::vector<platform::MessageId> ids;
    };
    platform::Result<std::vector<Listed>> Open();
    static FaxEntry Entry(const platform::StoredMessage& m, const std::string& folder);
    // The folder shown that holds the message, or why there is none.
    platform::Result<std::string> FolderOf(const std::string& id);

    std::string profilePath_;
    std::shared_ptr<void> keep_;
    std::unique_ptr<platform::MailStore> store_;
};

}  // namespace web
