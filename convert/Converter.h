#pragma once
// Turns the message files that the POP client saved in the In folder into
// messages of the store's inbox.
#include <memory>
#include <string>

namespace config {
struct Context;
}
namespace platform {
class MailFolder;
}

namespace convert {

// Converts every "*.txt" file (any case) of the In folder into one inbox
// message and deletes the file afterwards.
void ProcessInMessages(config::Context& ctx, const std::shared_ptr<platform::MailFolder>& inbox);

// Converts one saved message file into one new inbox message.
void ProcessMessage(config::Context& ctx, const std::shared_ptr<platform::MailFolder>& inbox,
                    const std::string& path);

}  // namespace convert
