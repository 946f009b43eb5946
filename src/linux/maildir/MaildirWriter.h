#pragma once
// Composing a new message file and delivering it into a Maildir folder.
#include <string>

#include "linux/maildir/MaildirFs.h"
#include "platform/MailStore.h"
#include "platform/Result.h"

namespace platform::maildir {

// Writes the message into dir's tmp/ and notes it in store.unsynced: the
// folder's next SyncDelivered puts it in new/ (in cur/ with the seen flag when
// it is not unread). Each attachment's content is read from its file range as
// the message file is written: no attachment is held in memory whole. Every
// write is checked; a short or failed one (a full disk, a read-only file
// system) or an attachment file that cannot be read leaves nothing behind.
// Returns where the message is now (in tmp/).
Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const NewMessage& message);

// Makes dir's unsynced messages durable and only then renames them into
// place, so that readers never see part of a message and a crash leaves at
// most stray files in tmp/. When any step fails none of them is stored.
Status SyncDelivered(StoreState& store, const std::string& dir);
// Marks dir's unsynced messages as they stand; SyncSealed stores those (as
// SyncDelivered does) once their contents are on the disk: without `wait`
// it returns false while they are not, with it it waits for them. The
// messages stored after the mark stay unsynced.
void SealDelivered(StoreState& store, const std::string& dir);
Result<bool> SyncSealed(StoreState& store, const std::string& dir, bool wait);

// Drops dir's unsynced messages: they were never stored.
void DropUnsynced(StoreState& store, const std::string& folder);

// "SMTP:x@y" -> "x@y"; other texts as they are.
std::string StripSmtpPrefix(const std::string& address);

}  // namespace platform::maildir
