// Bench driver: how to make a batch of new message files durable. Writes
// COUNT files of SIZE bytes into DIR/tmp/ as a store does with a batch of
// messages, makes their contents durable with one MECHANISM, renames them
// into DIR/new/ and syncs that folder; prints the milliseconds the batch
// took. Run by bench/sync_choice.sh, quiet and with another process writing
// and syncing on the same disk.
//   sync_choice MECHANISM DIR COUNT SIZE
// MECHANISM:
//   each        fsync of each file right after it is written (one journal
//               commit per file)
//   fsync       all files written, then fsync of each
//   fdatasync   all files written, then fdatasync of each
//   sfr         sync_file_range(WRITE) as each file is written, so that the
//               write-back starts at once, then fdatasync of each
//   syncfs      all files written, then one syncfs of the file system
//   sfr-syncfs  sync_file_range(WRITE) as each file is written, then one syncfs
//   group       sync_file_range(WRITE) as each file is written, and handed to
//               the store's syncer, which syncs files in groups in the
//               background while the next ones are written; then a wait
//               for the last group
#include <fcntl.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <vector>

#include "platform/FileSyncer.h"

namespace {

bool WriteAll(int fd, const std::string& data) {
    for (std::size_t done = 0; done < data.size();) {
        const ssize_t n = ::write(fd, data.data() + done, data.size() - done);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SyncFolder(const std::string& dir) {
    const int fd = ::open(dir.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
    if (fd < 0) return false;
    const bool ok = ::fsync(fd) == 0;
    ::close(fd);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        std::fprintf(
            stderr,
            "usage: sync_choice each|fsync|fdatasync|sfr|syncfs|sfr-syncfs|group DIR COUNT SIZE\n");
        return 2;
    }
    const std::string how = argv[1], dir = argv[2];
    const int count = std::atoi(argv[3]);
    const std::string data(static_cast<std::size_t>(std::atol(argv[4])), 'x');
    std::vector<int> fds;
    std::vector<std::string> names;
    platform::FileSyncer syncer(how == "group" ? platform::FileSyncer::Mode::Background
                                               : platform::FileSyncer::Mode::Off);
    if (how == "group" && !syncer.Active()) {
        std::fprintf(stderr, "sync_choice: no io_uring here for the group syncs\n");
        return 1;
    }
    std::vector<platform::FileSyncer::Ticket> tickets;
    const auto t0 = std::chrono::steady_clock::now();
    for (int i = 0; i < count; ++i) {
        names.push_back(std::to_string(::getpid()) + "." + std::to_string(i));
        const int fd = ::open((dir + "/tmp/" + names.back()).c_str(),
                              O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
        if (fd < 0 || !WriteAll(fd, data)) return 1;
        if (how == "each" && ::fsync(fd) != 0) return 1;
        if ((how == "sfr" || how == "sfr-syncfs" || how == "group") &&
            ::sync_file_range(fd, 0, 0, SYNC_FILE_RANGE_WRITE) != 0)
            return 1;
        if (how == "group")
            tickets.push_back(syncer.Add(platform::UniqueFd(fd)));
        else
            fds.push_back(fd);
    }
    if (how == "group") {
        syncer.WaitAll();
        for (auto t : tickets)
            if (syncer.Error(t) != 0) return 1;
    } else if (how == "syncfs" || how == "sfr-syncfs") {
        if (::syncfs(fds.front()) != 0) return 1;
    } else if (how != "each") {
        for (int fd : fds)
            if ((how == "fsync" ? ::fsync(fd) : ::fdatasync(fd)) != 0) return 1;
    }
    for (int fd : fds) ::close(fd);
    for (const std::string& n : names)
        if (::rename((dir + "/tmp/" + n).c_str(), (dir + "/new/" + n).c_str()) != 0) return 1;
    if (!SyncFolder(dir + "/new")) return 1;
    const auto t1 = std::chrono::steady_clock::now();
    std::printf("%.3f\n", std::chrono::duration<double, std::milli>(t1 - t0).count());
    return 0;
}
