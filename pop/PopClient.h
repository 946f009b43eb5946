#pragma once
// The POP3 client of the mail form: downloads every message of the
// subscriber's mailbox into a file of the In folder and deletes it on the
// server.
#include <cstdint>
#include <string>

#include "pop/PopStaging.h"

namespace config {
struct Context;
}
namespace net {
class FrmMail;
}
namespace platform {
class Socket;
}

namespace pop {

// The session's steps (gPOPState), numbered in the order they run.
enum PopStep : std::int16_t {
    POP_OpenConnection = 100,
    POP_UserValidation = 110,
    POP_PassValidation = 120,
    POP_Statistics = 200,
    POP_ReadStats = 205,
    POP_Transaction = 300,
    POP_JustQuit = 500,
};

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
    // Installs POPTimout into form.POPTimout, which OpenConnection uses for
    // the greeting wait on the POP side.
    PopClient(config::Context& ctx, net::FrmMail& form);
    ~PopClient();
    PopClient(const PopClient&) = delete;
    PopClient& operator=(const PopClient&) = delete;

    PopState& state() { return st_; }

    // One whole session; the outcome is the files in In/, the deletions on the
    // server, print_status and gLastError. Downloads are staged and reach In/
    // only once QUIT was sent (PopStaging). A failed session closes the
    // connection and removes the file of the message it was reading: without
    // QUIT the server keeps every message, so nothing is lost.
    void CHECKMAIL_Click();

    // The steps, public for tests of single steps.
    void POP_Process();
    bool RetrieveMessage(std::int16_t MsgNum);
    bool KillMessage(std::int16_t MsgNum);
    bool POPWriteOut(platform::Socket& socket, std::string OutBuff);
    bool POPTimout(std::int16_t doState);

  private:
    // Collects a reply up to its CR LF (DELE, QUIT); false when the next tick
    // comes first or the connection ends.
    bool CollectReply(std::string& reply);
    // Waits until the socket has data; false at the next POPTimer tick or
    // when the connection has failed.
    bool WaitReadable(platform::Socket& socket);
    std::string TakeArrival(platform::Socket& socket);
    void Refuse();
    void ErrorReport();
    void EndSession();

    config::Context& ctx_;
    net::FrmMail& form_;
    PopState st_;
    PopStaging staging_;
    std::string partialFile_;  // the message file being written, until it is complete
};

}  // namespace pop
