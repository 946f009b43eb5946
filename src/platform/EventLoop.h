#pragma once
// The program's one event loop: timers and file-descriptor watches on poll().
// A wait that yields calls RunOnce(true): it blocks until an fd is ready or the
// next timer is due, and never spins. On a clock that is not real the loop
// does not sleep for a timer: when no fd is ready it moves the clock to it.
#include <poll.h>

#include <cstdint>
#include <functional>
#include <map>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace platform {

using TimerId = std::uint64_t;
using WatchId = std::uint64_t;

class EventLoop {
  public:
    // The loop moves a clock that is not real (see RunOnce); a real one it only reads.
    explicit EventLoop(Clock& clock);
    EventLoop(const EventLoop&) = delete;
    EventLoop& operator=(const EventLoop&) = delete;

    const Clock& clock() const { return clock_; }

    // One-shot timer; returns an id for Cancel.
    TimerId After(Millis delay, std::function<void()> fn);
    void Cancel(TimerId id);

    WatchId Watch(int fd, short events, std::function<void(short revents)> fn);
    void Modify(WatchId id, short events);
    void Unwatch(WatchId id);

    // Fires due timers and ready fds. With mayBlock, waits (in poll) until
    // something is due. On a clock that is not real, a turn with mayBlock in
    // which no fd is ready and no timer is due moves the clock to the next
    // timer and fires it, without sleeping; with no timer at all it waits in
    // poll for an fd, as on a real clock. Returns false when there was
    // nothing at all to wait for (no timers, no watches).
    bool RunOnce(bool mayBlock = true);

    // The legacy "yield": handle what is pending without waiting.
    void Yield() { RunOnce(false); }

    std::size_t PendingTimers() const { return timers_.size(); }

    // A request to end the run early (SIGTERM at shutdown or at a unit's
    // time-out): the run asks between its steps and stops at the next point
    // where nothing is lost. `fd`, when not -1, becomes readable when a
    // request arrives; every poll() includes it, so that a wait wakes, but it
    // is nothing to wait for by itself. `take` reads it without blocking and
    // says whether a request was there, and why ("SIGTERM").
    void SetStopSource(int fd, std::function<bool(std::string& why)> take);
    void RequestStop(const std::string& why);
    // Also takes a request that arrived since the loop last polled.
    bool StopRequested();
    const std::string& StopReason() const { return stopReason_; }

  private:
    struct TimerEntry {
        SteadyTime due;
        std::function<void()> fn;
    };
    struct WatchEntry {
        int fd;
        short events;
        std::function<void(short)> fn;
    };
    // The earliest due time of all timers; timers_ must not be empty.
    SteadyTime NextDue() const;
    // Polls the watched fds for up to timeoutMs and runs the handlers of
    // those that are ready; returns poll()'s result.
    int PollWatches(int timeoutMs);
    void FireDueTimers();

    Clock& clock_;
    int stopFd_ = -1;
    std::function<bool(std::string&)> takeStop_;
    bool stopRequested_ = false;
    std::string stopReason_;
    std::uint64_t nextId_ = 1;
    std::map<TimerId, TimerEntry> timers_;
    std::map<WatchId, WatchEntry> watches_;
};

// A repeating timer in the manner of a form's timer control: while enabled it
// fires every interval. The handler may disable it.
class Timer {
  public:
    Timer(EventLoop& loop, std::function<void()> onTick);
    ~Timer();
    Timer(const Timer&) = delete;
    Timer& operator=(const Timer&) = delete;

    void SetInterval(Millis interval);  // restarts the period when enabled
    Millis Interval() const { return interval_; }
    void SetEnabled(bool enabled);
    bool Enabled() const { return enabled_; }

  private:
    void Arm();
    EventLoop& loop_;
    std::function<void()> onTick_;
    Millis interval_{0};
    bool enabled_ = false;
    TimerId id_ = 0;
};

}  // namespace platform
