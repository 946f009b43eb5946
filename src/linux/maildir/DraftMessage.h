#pragma once
// A new message of a folder, as the folder's AddMessage hands it out.
#include <memory>
#include <string>

#include "platform/MailStore.h"
#include "linux/maildir/MaildirFs.h"

namespace platform::maildir {

// Collects what is set until Update delivers it into dir; from then on the
// same object is the stored message.
std::shared_ptr<MailMessage> NewDraftMessage(std::shared_ptr<StoreState> store,
                                             const std::string& dir);

}  // namespace platform::maildir
