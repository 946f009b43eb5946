#pragma once
// A message file in a folder's new/ or cur/, as the store hands it out.
#include <memory>
#include <string>

#include "platform/MailStore.h"
#include "linux/maildir/MaildirFs.h"

namespace platform::maildir {

// The message at dir/at.sub/at.name. The file is parsed once, on the first
// read of a property it holds. Values set on a stored message are kept for
// this object only: a stored file is never rewritten.
std::shared_ptr<MailMessage> OpenStoredMessage(std::shared_ptr<StoreState> store,
                                               const std::string& dir, Entry at);

}  // namespace platform::maildir
