#pragma once
// Tries what a configuration names, the way voxafax-print will use it: the
// printer and the mail store (the servers: ServerProbe.h). Nothing is
// printed.
#include <functional>
#include <string>

#include "platform/Clock.h"
#include "platform/Result.h"

namespace platform {
class Printers;
}  // namespace platform

namespace companion {

// One line for a person: what was tried and what came of it.
struct Finding {
    bool ok = false;
    std::string text;
};

// The longest a person waits for one server's test.
inline constexpr platform::Millis kProbeTimeout{20000};

// The printer is installed (by its exact name) and would take a job now: a
// CUPS queue that accepts jobs, a folder printer whose folder can be written
// or made.
Finding TryPrinter(platform::Printers& printers,
                   const std::function<std::string(const std::string&)>& queueProblem,
                   const std::string& name);

// The mail-store profile has a section in stores.ini whose Maildir exists
// and can be written, or can be made.
Finding TryStore(const std::function<platform::Result<std::string>(const std::string&,
                                                                   const std::string&)>& maildirOf,
                 const std::string& storesIni, const std::string& profile);
// The same for a Maildir not yet written to stores.ini.
Finding TryMaildir(const std::string& profile, const std::string& maildir);

// A host that is this machine: a password sent to it in clear never leaves it.
bool IsLoopback(const std::string& host);

// The folder itself, or the nearest existing folder above it, can be
// written by this user ("" when it can, else why not).
std::string WritableOrCreatable(const std::string& folder);

}  // namespace companion
