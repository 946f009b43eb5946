#include "platform/EventLoop.h"

#include <cerrno>
#include <cstring>

#include "platform/Result.h"

namespace platform {

Status ErrnoStatus(Fail kind, const std::string& what) {
    return Status::Error(kind, what + ": " + std::strerror(errno));
}

EventLoop::EventLoop(const Clock& clock) : clock_(clock) {}

TimerId EventLoop::After(Millis delay, std::function<void()> fn) {
    TimerId id = nextId_++;
    timers_[id] = TimerEntry{clock_.Now() + delay, std::move(fn)};
    return id;
}

void EventLoop::Cancel(TimerId id) {
    timers_.erase(id);
}

WatchId EventLoop::Watch(int fd, short events, std::function<void(short)> fn) {
    WatchId id = nextId_++;
    watches_[id] = WatchEntry{fd, events, std::move(fn)};
    return id;
}

void EventLoop::Modify(WatchId id, short events) {
    auto it = watches_.find(id);
    if (it != watches_.end()) it->second.events = events;
}

void EventLoop::Unwatch(WatchId id) {
    watches_.erase(id);
}

bool EventLoop::RunOnce(bool mayBlock) {
    if (timers_.empty() && watches_.empty()) return false;

    // Timeout for poll: until the earliest timer, or forever when only fds.
    int timeoutMs = -1;
    const SteadyTime now = clock_.Now();
    bool timerDue = false;
    if (!timers_.empty()) {
        SteadyTime earliest = timers_.begin()->second.due;
        for (const auto& [id, t] : timers_)
            if (t.due < earliest) earliest = t.due;
        if (earliest <= now) {
            timerDue = true;
            timeoutMs = 0;
        } else {
            auto ms = std::chrono::ceil<Millis>(earliest - now).count();
            timeoutMs = ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
        }
    }
    if (!mayBlock || !clock_.IsReal()) timeoutMs = 0;
    if (timeoutMs < 0 && watches_.empty()) timeoutMs = 0;

    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    fds.reserve(watches_.size());
    for (const auto& [id, w] : watches_) {
        fds.push_back(pollfd{w.fd, w.events, 0});
        ids.push_back(id);
    }
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n > 0) {
        for (std::size_t i = 0; i < fds.size(); ++i) {
            if (fds[i].revents == 0) continue;
            auto it = watches_.find(ids[i]);  // a handler may have removed it
            if (it == watches_.end()) continue;
            auto fn = it->second.fn;  // copy: the handler may unwatch itself
            fn(fds[i].revents);
        }
    }

    // Fire every timer that is due now, in order of due time.
    const SteadyTime after = clock_.Now();
    for (;;) {
        TimerId dueId = 0;
        SteadyTime dueAt{};
        for (const auto& [id, t] : timers_) {
            if (t.due <= after && (dueId == 0 || t.due < dueAt)) {
                dueId = id;
                dueAt = t.due;
            }
        }
        if (dueId == 0) break;
        auto fn = std::move(timers_[dueId].fn);
        timers_.erase(dueId);
        fn();
        timerDue = true;
    }
    (void)timerDue;
    return true;
}

Timer::Timer(EventLoop& loop, std::function<void()> onTick)
    : loop_(loop), onTick_(std::move(onTick)) {}

Timer::~Timer() {
    if (id_) loop_.Cancel(id_);
}

void Timer::SetInterval(Millis interval) {
    interval_ = interval;
    if (enabled_) Arm();
}

void Timer::SetEnabled(bool enabled) {
    if (enabled == enabled_) return;
    enabled_ = enabled;
    if (enabled_) {
        Arm();
    } else if (id_) {
        loop_.Cancel(id_);
        id_ = 0;
    }
}

void Timer::Arm() {
    if (id_) loop_.Cancel(id_);
    id_ = 0;
    if (interval_.count() <= 0) return;  // a timer with no interval never fires
    id_ = loop_.After(interval_, [this] {
        id_ = 0;
        if (!enabled_) return;
        Arm();  // re-arm first: the handler may disable the timer
        onTick_();
    });
}

}  // namespace platform
