#pragma once
// What the pages start runs in a child process of their own, so that the
// server's one thread stays free for requests: a run of voxafax-print, a
// reprint, a receipt sent again. One job at a time; what it writes on its
// standard output and error is kept (its last lines) for the pages to show.
#include <sys/types.h>

#include <deque>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/EventLoop.h"
#include "platform/Files.h"

namespace web {

struct Job {
    std::string kind;   // "run", "reprint", "send", ...
    std::string title;  // for a person: "Get faxes now", "Reprint ..."
    pid_t pid = 0;
    bool running = false;
    std::optional<int> exitStatus;  // 128 + N when signal N ended it
    platform::SteadyTime started{}, ended{};
    std::deque<std::string> lines;  // its output, the last kMaxLines lines
    std::size_t firstLine = 0;      // the number of lines[0] since the job began
};

class Jobs {
  public:
    static constexpr std::size_t kMaxLines = 300;

    explicit Jobs(platform::EventLoop& loop);
    ~Jobs();
    Jobs(const Jobs&) = delete;
    Jobs& operator=(const Jobs&) = delete;

    // Starts argv[0] with the arguments, standard input from /dev/null.
    // "" when it started, else why not (a job is running, spawn failed).
    std::string Start(std::string kind, std::string title, const std::vector<std::string>& argv);
    bool Busy() const { return job_ && job_->running; }
    // The job running now or the last one; nullptr before the first.
    const Job* Last() const { return job_ ? &*job_ : nullptr; }

    // Called when a job has ended.
    std::function<void(const Job&)> onEnd;

  private:
    void ReadOutput();
    void Reap();
    void AddText(std::string_view text);
    void Finish(int wstatus);

    platform::EventLoop& loop_;
    std::optional<Job> job_;
    platform::UniqueFd out_, pidfd_;
    platform::WatchId outWatch_ = 0, pidWatch_ = 0;
    platform::TimerId reapTimer_ = 0;
    std::string partial_;
};

// The exit status of a wait() status as a shell tells it.
int ExitStatusOf(int wstatus);

}  // namespace web
