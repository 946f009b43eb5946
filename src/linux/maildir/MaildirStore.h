#pragma once
// The mail store on disk: one Maildir++ tree per profile of stores.ini.
// The inbox is the Maildir's root, folder A under the root folder is ".A",
// B under A is ".A.B". Messages are MIME files written with GMime.
#include <cstdint>
#include <memory>
#include <string>

#include "platform/MailStore.h"

namespace platform {

class Dialogs;

class MaildirStoreProvider final : public MailStoreProvider {
  public:
    // storesIni: the profiles file; dialogs: offers the configured profiles
    // when an interactive logon names an unknown one.
    MaildirStoreProvider(std::string storesIni, Dialogs& dialogs);
    Result<std::unique_ptr<MailSession>> CreateSession() override;

  private:
    std::string storesIni_;
    Dialogs& dialogs_;
};

}  // namespace platform
