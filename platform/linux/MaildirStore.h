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

// 30 Dec 1899 00:00 UTC: the zero date that stands for "no date".
inline constexpr std::int64_t kZeroDateUnix = -2209161600;

// The store's display form of a time: "MM/DD/YYYY hh:mm:ss AM", local time
// (the zero date is shown as itself in every zone).
std::string FormatStoreTime(std::int64_t unixSeconds);

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
