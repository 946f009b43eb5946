#include "platform/EventLoop.h"

#include <cerrno>
#include <cstring>

#include "platform/Result.h"

namespace platform {

Status ErrnoStatus(Fail kind, const std::string& what) {
    const int err = errno;
    Status st = Status::Error(kind, what + ": " + std::strerror(err));
    st.error = err;
    return st;
}

EventLoop::EventLoop(Clock& clock) : clock_(clock) {}

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

void EventLoop::SetStopSource(int fd, std::function<bool(std::string& why)> take) {
    stopFd_ = fd;
    takeStop_ = std::move(take);
}

void EventLoop::RequestStop(const std::string& why) {
    if (stopRequested_) return;
    stopRequested_ = true;
    stopReason_ = why;
}

bool EventLoop::StopRequested() {
    std::string why;
    if (!stopRequested_ && takeStop_ && takeStop_(why)) RequestStop(why);
    return stopRequested_;
}

bool EventLoop::RunOnce(bool mayBlock) {
    if (timers_.empty() && watches_.empty()) return false;

    // How long poll() may sleep: until the next timer, or for ever when only
    // fds are watched. A clock that is not real is never slept on.
    const bool haveTimer = !timers_.empty();
    const SteadyTime now = clock_.Now();
    const SteadyTime next = haveTimer ? NextDue() : now;
    int timeoutMs = -1;
    if (!mayBlock || (haveTimer && next <= now)) {
        timeoutMs = 0;
    } else if (haveTimer) {
        if (clock_.IsReal()) {
            const auto ms = std::chrono::ceil<Millis>(next - now).count();
            timeoutMs = ms > 1'000'000'000 ? 1'000'000'000 : static_cast<int>(ms);
        } else {
            timeoutMs = 0;
        }
    }

    const int ready = PollWatches(timeoutMs);

    // Nothing is ready and nothing is due: on a clock that is not real the
    // wait ends at once at the next timer. Only when poll() found nothing, so
    // that data already waiting in a socket is taken before a time-out fires.
    if (ready == 0 && mayBlock && haveTimer && next > now && !clock_.IsReal()) clock_.SkipTo(next);

    FireDueTimers();
    return true;
}

SteadyTime EventLoop::NextDue() const {
    SteadyTime earliest = timers_.begin()->second.due;
    for (const auto& [id, t] : timers_)
        if (t.due < earliest) earliest = t.due;
    return earliest;
}

int EventLoop::PollWatches(int timeoutMs) {
    std::vector<pollfd> fds;
    std::vector<WatchId> ids;
    fds.reserve(watches_.size());
    ids.reserve(watches_.size());
    for (const auto& [id, w] : watches_) {
        fds.push_back(pollfd{w.fd, w.events, 0});
        ids.push_back(id);
    }
    const bool stopWatched = stopFd_ >= 0 && !stopRequested_;
    if (stopWatched) fds.push_back(pollfd{stopFd_, POLLIN, 0});
    int n = ::poll(fds.data(), fds.size(), timeoutMs);
    if (n <= 0) return n;
    if (stopWatched && fds.back().revents != 0) {
        (void)StopRequested();
        fds.pop_back();
        --n;
    }
    for (std::size_t i = 0; i < ids.size(); ++i) {
        if (fds[i].revents == 0) continue;
        auto it = watches_.find(ids[i]);  // a handler may have removed it
        if (it == watches_.end()) continue;
        auto fn = it->second.fn;  // copy: the handler may unwatch itself
        fn(fds[i].revents);
    }
    return n;
}

// Fires every timer that is due now, in order of due time (ties in the order
// they were set). A handler may set or cancel timers.
void EventLoop::FireDueTimers() {
    const SteadyTime now = clock_.Now();
    for (;;) {
        TimerId dueId = 0;
        SteadyTime dueAt{};
        for (const auto& [id, t] : timers_) {
            if (t.due <= now && (dueId == 0 || t.due < dueAt)) {
                dueId = id;
                dueAt = t.due;
            }
        }
        if (dueId == 0) break;
        auto node = timers_.extract(dueId);
        node.mapped().fn();
    }
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
