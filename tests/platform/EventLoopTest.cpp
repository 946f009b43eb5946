#include <gtest/gtest.h>
#include <unistd.h>

#include <csignal>

#include "platform/EventLoop.h"
#include "platform/Process.h"

using namespace std::chrono_literals;
using platform::EventLoop;
using platform::ManualClock;
using platform::Millis;
using platform::SystemClock;
using platform::Timer;

namespace {

struct Pipe {
    int r = -1, w = -1;
    Pipe() {
        int fds[2];
        if (::pipe(fds) == 0) r = fds[0], w = fds[1];
    }
    ~Pipe() {
        ::close(r);
        ::close(w);
    }
};

}  // namespace

// An idle wait on a manual clock skips to the next timer, one timer per turn;
// a turn that may not block never moves the clock.
TEST(EventLoop, IdleWaitOnManualClockSkipsToTheNextTimerInDueOrder) {
    ManualClock clock;
    EventLoop loop(clock);
    const auto t0 = clock.Now();
    std::string order;
    loop.After(Millis(60000), [&] { order += "b"; });
    loop.After(Millis(1000), [&] { order += "a"; });
    auto cancelled = loop.After(Millis(500), [&] { order += "x"; });
    loop.Cancel(cancelled);

    loop.RunOnce(false);
    EXPECT_EQ(order, "");
    EXPECT_EQ(clock.Now(), t0);
    EXPECT_TRUE(loop.RunOnce(true));
    EXPECT_EQ(order, "a");
    EXPECT_EQ(clock.Now() - t0, 1s);
    EXPECT_TRUE(loop.RunOnce(true));
    EXPECT_EQ(order, "ab");
    EXPECT_EQ(clock.Now() - t0, 1min);
    EXPECT_FALSE(loop.RunOnce(true));  // nothing left to wait for

    // Moved by hand, every timer due fires in one turn.
    loop.After(Millis(20), [&] { order += "d"; });
    loop.After(Millis(10), [&] { order += "c"; });
    clock.Advance(Millis(30));
    loop.RunOnce(false);
    EXPECT_EQ(order, "abcd");
}

// An fd that is ready is handled before any time passes; only a turn that
// finds nothing ready moves the clock.
TEST(EventLoop, ReadyFdIsHandledBeforeTheClockSkips) {
    ManualClock clock;
    EventLoop loop(clock);
    const auto t0 = clock.Now();
    Pipe p;
    ASSERT_GE(p.r, 0);
    bool timedOut = false;
    loop.After(Millis(60000), [&] { timedOut = true; });
    std::string got;
    loop.Watch(p.r, POLLIN, [&](short) {
        char c;
        if (::read(p.r, &c, 1) == 1) got += c;
    });
    ASSERT_EQ(::write(p.w, "xy", 2), 2);
    loop.RunOnce(true);
    loop.RunOnce(true);
    EXPECT_EQ(got, "xy");
    EXPECT_FALSE(timedOut);
    EXPECT_EQ(clock.Now(), t0);
    loop.RunOnce(true);
    EXPECT_TRUE(timedOut);
    EXPECT_EQ(got, "xy");
}

TEST(EventLoop, FormTimerRepeatsUntilItsHandlerDisablesIt) {
    ManualClock clock;
    EventLoop loop(clock);
    const auto t0 = clock.Now();
    int ticks = 0;
    Timer* self = nullptr;
    Timer t(loop, [&] {
        if (++ticks == 3) self->SetEnabled(false);
    });
    self = &t;
    t.SetInterval(Millis(60000));
    t.SetEnabled(true);
    int turns = 0;
    while (loop.RunOnce(true)) ++turns;
    EXPECT_EQ(ticks, 3);
    EXPECT_EQ(turns, 3);
    EXPECT_EQ(clock.Now() - t0, 3min);
    EXPECT_FALSE(t.Enabled());
    EXPECT_EQ(loop.PendingTimers(), 0u);
}

TEST(EventLoop, WatchReportsReadableFdAndCanUnwatchItself) {
    ManualClock clock;
    EventLoop loop(clock);
    Pipe p;
    ASSERT_GE(p.r, 0);
    int calls = 0;
    platform::WatchId id = 0;
    id = loop.Watch(p.r, POLLIN, [&](short revents) {
        EXPECT_TRUE(revents & POLLIN);
        ++calls;
        loop.Unwatch(id);
    });
    ASSERT_EQ(::write(p.w, "x", 1), 1);
    loop.RunOnce(true);
    loop.RunOnce(false);
    EXPECT_EQ(calls, 1);
}

// SIGTERM, held for the loop, wakes a wait at once and becomes a request to
// stop; by itself it is nothing to wait for.
TEST(EventLoop, SigtermWakesAWaitAsARequestToStop) {
    SystemClock clock;
    platform::StopSignals signals;
    EventLoop loop(clock);
    ASSERT_TRUE(signals.Hold(loop));
    EXPECT_FALSE(loop.RunOnce());
    bool fired = false;
    loop.After(Millis(600'000), [&] { fired = true; });
    ASSERT_EQ(::kill(::getpid(), SIGTERM), 0);
    EXPECT_TRUE(loop.RunOnce(true));
    EXPECT_FALSE(fired);
    EXPECT_TRUE(loop.StopRequested());
    EXPECT_EQ(loop.StopReason(), "SIGTERM");
}
