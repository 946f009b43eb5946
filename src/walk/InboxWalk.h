#pragma once
// The inbox walk: classifies every message of the inbox, checks and prints its
// attachments, answers and records where it is to be filed, then performs the
// moves. Entered with the store and filing folders open.
#include <memory>
#include <string>

namespace config {
struct Context;
}
namespace platform {
class MailMessage;
}
namespace print {
class FrmVFPrint;
}
namespace mailout {
class Mailer;
}

namespace vfmain {

struct SessionState;

// Walks the inbox messages from 1 to the count read at the start; afterwards
// performs the recorded moves unless the run is a print test. A fatal printer
// error sets gLastError and ends the walk early (moves still happen).
void WalkInbox(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
               mailout::Mailer& mailer);

enum class Reprinted { Printed, NotAFax, Failed };
// Prints one stored message again as the walk printed it: classified and
// checked the same way, then the header page and files (or a regular fax's
// image) printed, with nothing counted, marked, filed or answered. The run
// must be a print test. `why` gets the reason of a failure.
Reprinted ReprintMessage(config::Context& ctx, SessionState& session, print::FrmVFPrint& printForm,
                         mailout::Mailer& mailer, std::shared_ptr<platform::MailMessage> msg,
                         std::string& why);

}  // namespace vfmain
