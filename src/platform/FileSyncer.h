#pragma once
// Makes written files durable while the caller goes on writing the next
// ones, by group commit: the files handed in while a group is being synced
// form the next group, which starts as soon as that one ends. On a quiet
// disk the groups are small and each overlaps the caller's work; on a busy
// one they grow, and a group's syncs, issued together, share the disk's
// cache flushes. The syncs run in io_uring worker threads that the kernel
// attaches to the process; the program's own code stays on one thread and
// collects finished syncs when it hands in the next file or waits.
//
// Where the kernel offers no such workers (an old kernel, or a sandbox that
// forbids them), Active() is false and the caller makes its files durable
// its own way.
#include <cstdint>
#include <memory>
#include <unordered_map>
#include <utility>
#include <vector>

#include "platform/Files.h"

namespace platform {
namespace uring {
class Ring;
}

class FileSyncer {
  public:
    using Ticket = std::uint64_t;

    // Background: group commit, where the kernel offers it (else Off).
    // AtOnce: each file is synced as it is handed in, by fdatasync(); for
    // tests that watch the program's syncs. Off: the caller syncs.
    enum class Mode { Background, AtOnce, Off };

    explicit FileSyncer(Mode mode = Mode::Background);
    ~FileSyncer();  // waits for the syncs under way
    FileSyncer(const FileSyncer&) = delete;
    FileSyncer& operator=(const FileSyncer&) = delete;

    // Whether the files handed in are made durable here.
    bool Active() const { return atOnce_ || ring_ != nullptr; }
    // Takes the descriptor of a file whose contents are written; its data
    // and size become durable (fdatasync), and the descriptor is closed
    // then. When not Active() it is only closed.
    Ticket Add(UniqueFd fd);
    // Waits until every file handed in so far is synced. Active() may turn
    // false meanwhile (the kernel refused a group): the caller then syncs
    // those files its own way.
    void WaitAll();
    // Whether a ticket's sync has ended (or never ran here: not Active()),
    // without waiting; a group waiting for its turn is started meanwhile.
    bool Done(Ticket t);
    // Waits until the syncs of every ticket up to t have ended: not for the
    // files handed in after it, unless they share its group.
    void WaitFor(Ticket t);
    // The errno of a ticket's finished sync; 0 when the file is durable.
    int Error(Ticket t) const;
    // Drops what is kept of a ticket's outcome.
    void Forget(Ticket t);

  private:
    void StartGroup();
    void GiveUp();
    void Reap(bool wait);
    std::unique_ptr<uring::Ring> ring_;
    bool atOnce_ = false;
    Ticket next_ = 1;
    std::vector<std::pair<Ticket, UniqueFd>> waiting_;  // the next group
    std::unordered_map<Ticket, UniqueFd> inFlight_;     // the group under way
    std::unordered_map<Ticket, int> failed_;
};

}  // namespace platform
