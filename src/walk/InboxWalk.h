#pragma once
// The inbox walk: classifies every message of the inbox, checks and prints its
// attachments, answers and records where it is to be filed, then performs the
// moves. Entered with the store and filing folders open.
#include <string>

#include "platform/MailStore.h"

namespace config {
struct Context;
}
namespace print {
class FrmVFPrint;
}
namespace mailout {
class Mailer;
}

namespace walk {

struct SessionState;

// Walks the inbox messages from 1 to the count read at the start; afterwards
// performs the recorded moves unless the run is a print test. A fatal printer
// error sets gLastError and ends the walk early (moves still happen).
void WalkInbox(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
               mailout::Mailer& mailer);

enum class Reprinted { Printed, NotAFax, NotFound, Failed };
// Prints one stored message again as the walk printed it: classified and
// checked the same way, then the header page and files (or a regular fax's
// image) printed, with nothing counted, marked, filed or answered. The run
// must be a print test. `why` gets the reason of a failure.
Reprinted ReprintMessage(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                         mailout::Mailer& mailer, const platform::MessageId& id, std::string& why);

}  // namespace walk
