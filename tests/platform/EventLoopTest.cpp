#include <gtest/gtest.h>
#include <sys/resource.h>
#include <unistd.h>

#include "platform/EventLoop.h"

using namespace std::chrono_literals;
using platform::EventLoop;
using platform::ManualClock;
using platform::Millis;
using platform::SystemClock;
using platform::Timer;

TEST(EventLoop, ManualClockFiresTimersInDueOrderOnlyWhenMoved) {
    ManualClock clock;
    EventLoop loop(clock);
    std::string order;
    loop.After(Millis(60000), [&] { order += "b"; });
    loop.After(Millis(1000), [&] { order += "a"; });
    auto cancelled = loop.After(Millis(500), [&] { order += "x"; });
    loop.Cancel(cancelled);
    EXPECT_TRUE(loop.RunOnce(true));  // never sleeps on a manual clock
    EXPECT_EQ(order, "");
    clock.Advance(Millis(60000));
    loop.RunOnce(false);
    EXPECT_EQ(order, "ab");
    EXPECT_FALSE(loop.RunOnce(true));  // nothing left to wait for
}

TEST(EventLoop, FormTimerRepeatsUntilItsHandlerDisablesIt) {
    ManualClock clock;
    EventLoop loop(clock);
    int ticks = 0;
    Timer* self = nullptr;
    Timer t(loop, [&] {
        if (++ticks == 3) self->SetEnabled(false);
    });
    self = &t;
    t.SetInterval(Millis(100));
    t.SetEnabled(true);
    for (int i = 0; i < 10; ++i) {
        clock.Advance(Millis(100));
        loop.RunOnce(false);
    }
    EXPECT_EQ(ticks, 3);
    EXPECT_FALSE(t.Enabled());
    EXPECT_EQ(loop.PendingTimers(), 0u);
}

TEST(EventLoop, WatchReportsReadableFdAndCanUnwatchItself) {
    SystemClock clock;
    EventLoop loop(clock);
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    int calls = 0;
    platform::WatchId id = 0;
    id = loop.Watch(fds[0], POLLIN, [&](short revents) {
        EXPECT_TRUE(revents & POLLIN);
        ++calls;
        loop.Unwatch(id);
    });
    ASSERT_EQ(::write(fds[1], "x", 1), 1);
    loop.RunOnce(true);
    loop.RunOnce(false);
    EXPECT_EQ(calls, 1);
    ::close(fds[0]);
    ::close(fds[1]);
}

// A wait blocks in poll until the timer is due: 200 ms of waiting must cost
// almost no CPU time.
TEST(EventLoop, BlockingWaitDoesNotSpin) {
    SystemClock clock;
    EventLoop loop(clock);
    bool fired = false;
    loop.After(Millis(200), [&] { fired = true; });
    rusage before{}, after{};
    ::getrusage(RUSAGE_SELF, &before);
    auto start = clock.Now();
    while (!fired) loop.RunOnce(true);
    auto waited = clock.Now() - start;
    ::getrusage(RUSAGE_SELF, &after);
    auto cpuUs = (after.ru_utime.tv_sec - before.ru_utime.tv_sec) * 1000000L +
                 (after.ru_utime.tv_usec - before.ru_utime.tv_usec) +
                 (after.ru_stime.tv_sec - before.ru_stime.tv_sec) * 1000000L +
                 (after.ru_stime.tv_usec - before.ru_stime.tv_usec);
    EXPECT_GE(waited, 190ms);
    EXPECT_LT(cpuUs, 50000);
}
