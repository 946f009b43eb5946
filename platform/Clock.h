#pragma once
// Time for timers and waits comes from an injected clock so that minute-long
// time-outs run in milliseconds under test.
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
};

class SystemClock final : public Clock {
public:
    SteadyTime Now() const override { return std::chrono::steady_clock::now(); }
};

// A clock that only moves when a test moves it.
class ManualClock final : public Clock {
public:
    SteadyTime now{};
    SteadyTime Now() const override { return now; }
    bool IsReal() const override { return false; }
    void Advance(Millis d) { now += d; }
};

}  // namespace platform
