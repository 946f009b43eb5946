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
    // `keep` holds what the provider needs for as long as it lives.
    StoreShelf(std::string profilePath, std::unique_ptr<platform::MailStoreProvider> stores,
               std::shared_ptr<void> keep = {});

    platform::Result<std::vector<FaxEntry>> Newest(std::size_t skip, std::size_t count,
                                                   std::size_t& total) override;
    platform::Result<FaxEntry> Find(const std::string& id) override;
    platform::Status WriteAttachment(const std::string& id, std::size_t index,
                                     const std::string& path) override;

  private:
    platform::Result<std::unique_ptr<platform::MailSession>> Open();
    platform::Result<std::vector<FaxEntry>> All();
    static FaxEntry Entry(platform::MailMessage& m, const std::string& folder);

    std::string profilePath_;
    std::shared_ptr<void> keep_;
    std::unique_ptr<platform::MailStoreProvider> stores_;
    std::map<std::string, std::string> folderOf_;  // message ID -> folder, as last listed
};

}  // namespace web
