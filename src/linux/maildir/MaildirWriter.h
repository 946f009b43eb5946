#pragma once
// Composing a new message file and delivering it into a Maildir folder.
#include <string>

#include "linux/maildir/MaildirFs.h"
#include "platform/MailStore.h"
#include "platform/Result.h"

namespace platform::maildir {

// Writes the message into dir's tmp/, syncs it and renames it into new/
// (into cur/ with the seen flag when it is not unread); its path is noted in
// store.unsynced until SyncDelivered syncs that folder. Each attachment's
// content is read from its file range as the message file is written: no
// attachment is held in memory whole. Every write is checked; a short or
// failed one (a full disk, a read-only file system) or an attachment file
// that cannot be read leaves nothing in the folder. Readers never see part
// of a message; a crash leaves at most a stray file in tmp/. Returns where
// the message went.
Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const NewMessage& message);

// Syncs the folders of dir's unsynced deliveries; when one cannot be synced
// its messages are removed again. The first failure is returned.
Status SyncDelivered(StoreState& store, const std::string& dir);

// "SMTP:x@y" -> "x@y"; other texts as they are.
std::string StripSmtpPrefix(const std::string& address);

}  // namespace platform::maildir
