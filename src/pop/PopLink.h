#pragma once
// The connection of one POP session: commands out, whole replies and
// multi-line answers in, each wait bounded by the tick, the step's deadline
// and the session's. Every reply is judged only when it is whole.
#include <cstdint>
#include <functional>
#include <string>
#include <string_view>

#include "platform/Clock.h"
#include "platform/EventLoop.h"
#include "pop/PopServices.h"

namespace net {
class FrmMail;
}

namespace pop {

class PopLink {
  public:
    PopLink(const PopServices& services, net::FrmMail& form);
    ~PopLink();
    PopLink(const PopLink&) = delete;
    PopLink& operator=(const PopLink&) = delete;

    // --- deadlines; a wait that meets one fails with gPOP_Error = 7 ---
    // Starts the session's clock: it ends [pop3] session_minutes ticks on,
    // whatever the mailbox announces.
    void Begin();
    // The step in hand may take `budget`, never past the session's end.
    void ArmStep(platform::Millis budget);
    bool PastDeadline();
    bool deadlineHit() const { return deadlineHit_; }
    bool sessionDeadlineHit() const { return deadlineHit_ && stepEnd_ >= sessionEnd_; }
    platform::Millis Ticks(std::int64_t n) const;
    platform::Millis SessionBudget() const;
    platform::Millis StepBudget() const { return stepBudget_; }
    platform::SteadyTime Now() const;

    // --- commands and replies ---
    // Sends a command (ending in CR LF); the debug log shows it with what
    // proves the logon masked.
    bool Send(const std::string& command);
    // Sends all of OutBuff with flow control; true when all was accepted.
    bool POPWriteOut(std::string OutBuff);
    // Waits until gSocketState equals doState, for general_timout + 1 ticks
    // at most; true when the wait timed out (gPOP_Error = 7).
    bool POPTimout(std::int16_t doState);
    // Waits for the whole reply line to the command just sent, at most
    // `ticks` ticks; false when none came (the reason in LostWhy).
    bool AwaitLine(std::int32_t ticks);

    // Reads a multi-line answer: `feed` takes each piece and says how much
    // of it belongs to the answer and whether the answer is over. Each piece
    // must come within a tick. With a floor (bytes per tick), an answer that
    // brings less in a tick of its own is cut.
    enum class Fed { More, Done, Stop };
    using Feed = std::function<Fed(std::string_view piece, std::size_t& used)>;
    enum class Read { Complete, Stopped, Lost, TooSlow };
    Read ReadAnswer(const Feed& feed, std::int64_t floorPerTick = 0);

    // The secret that Quote masks.
    void Mask(std::string secret) { secret_ = std::move(secret); }
    // The reply in hand as a person may see it: its first line, printable,
    // cut, and the secret masked should the server repeat it.
    std::string Quote(std::string_view serverText) const;
    // Why the connection is no good any more, after a wait came back empty.
    std::string LostWhy() const;
    std::int64_t Seconds(platform::Millis d) const { return (d.count() + 999) / 1000; }
    // Closes the connection and stops the timers: a later session in the
    // same run connects afresh, and no half-read reply reaches it.
    void End();

  private:
    // Waits until the socket (or what is pending) has data; false at the
    // next tick, at a deadline or when the connection has failed.
    bool WaitReadable();

    const PopServices s_;  // references: cheap to hold by value
    net::FrmMail& form_;
    std::string secret_;
    bool deadlineHit_ = false;
    platform::SteadyTime sessionStart_{};
    platform::SteadyTime sessionEnd_{};
    platform::SteadyTime stepEnd_{};
    platform::Millis stepBudget_{0};
    platform::TimerId deadlineTimer_ = 0;
};

}  // namespace pop
