#pragma once
// Time for timers and waits comes from an injected clock. The program runs on
// the system's steady clock; tests run on a manual one, on which the event
// loop skips straight to the next timer whenever nothing else is ready, so a
// minute-long time-out takes microseconds and always takes the same path.
#include <chrono>

namespace platform {

using SteadyTime = std::chrono::steady_clock::time_point;
using Millis = std::chrono::milliseconds;

class Clock {
  public:
    virtual ~Clock() = default;
    virtual SteadyTime Now() const = 0;
    // True when Now() follows real time, so that poll() may sleep until a timer is due.
    virtual bool IsReal() const { return true; }
    // Called by the event loop on a clock that is not real when it would
    // otherwise sleep until `due`: such a clock moves there at once. A real
    // clock, or one that moves on its own, ignores it.
    virtual void SkipTo(SteadyTime due) { (void)due; }
};

class SystemClock final : public Clock {
  public:
    SteadyTime Now() const override { return std::chrono::steady_clock::now(); }
};

// A clock that moves only when a test moves it, or when the event loop skips
// an idle wait to its next timer.
class ManualClock final : public Clock {
  public:
    SteadyTime now{};
    SteadyTime Now() const override { return now; }
    bool IsReal() const override { return false; }
    void SkipTo(SteadyTime due) override {
        if (due > now) now = due;
    }
    void Advance(Millis d) { now += d; }
};

}  // namespace platform
