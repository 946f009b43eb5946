#pragma once
// The POP3 client of the mail form: downloads every message of the
// subscriber's mailbox into a file of the In folder and deletes it on the
// server.
#include <cstdint>
#include <string>

namespace config {
struct Context;
}
namespace mailout {
class FrmMail;
}

namespace pop {

struct PopState {
    std::int16_t gPOPState = 0;
    std::string gPOPCommand;
    std::int32_t gPOPMsgCount = 0;
    std::int32_t gPOPMailboxSize = 0;
    std::int16_t gPOPMsgNum = 0;
    std::string gPOPMsgBuff;
};

class PopClient {
public:
    PopClient(config::Context& ctx, mailout::FrmMail& form);
    ~PopClient();

    PopState& state() { return st_; }

    // One whole session; the outcome is the files in In/, the deletions on the
    // server, print_status and gLastError.
    void CHECKMAIL_Click();

private:
    config::Context& ctx_;
    mailout::FrmMail& form_;
    PopState st_;
};

}  // namespace pop
