#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <filesystem>
#include <string>
#include <vector>

#include "platform/FileSyncer.h"
#include "tests/support/TempDir.h"

using platform::FileSyncer;
using platform::UniqueFd;
using testsupport::TempDir;

namespace {

std::size_t OpenDescriptors() {
    std::size_t n = 0;
    for ([[maybe_unused]] const auto& e : std::filesystem::directory_iterator("/proc/self/fd")) ++n;
    return n;
}

class FileSyncerBothWays : public testing::TestWithParam<FileSyncer::Mode> {};

// More files than the ring holds, handed in while groups are under way, and
// among them one that cannot be synced (a pipe): WaitAll returns with every
// file's outcome, the pipe's failure is its own, and every descriptor taken
// is closed.
TEST_P(FileSyncerBothWays, EveryFileHasItsOutcomeByWaitAll) {
    TempDir dir;
    FileSyncer syncer(GetParam());
    ASSERT_TRUE(syncer.Active());
    const std::size_t before = OpenDescriptors();
    std::vector<FileSyncer::Ticket> files;
    FileSyncer::Ticket pipeTicket = 0;
    for (int i = 0; i < 300; ++i) {
        const std::string path = dir / ("m" + std::to_string(i));
        UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, 0600));
        ASSERT_TRUE(fd);
        ASSERT_EQ(::write(fd.get(), "data\n", 5), 5);
        files.push_back(syncer.Add(std::move(fd)));
        if (i == 150) {
            int ends[2];
            ASSERT_EQ(::pipe(ends), 0);
            ::close(ends[1]);
            pipeTicket = syncer.Add(UniqueFd(ends[0]));
            // Waiting for one file waits for those before it, not for all.
            syncer.WaitFor(files[100]);
            for (int j = 0; j <= 100; ++j) EXPECT_TRUE(syncer.Done(files[j])) << j;
        }
    }
    syncer.WaitFor(files.back());
    EXPECT_TRUE(syncer.Done(files.back()));
    syncer.WaitAll();
    ASSERT_TRUE(syncer.Active());
    for (FileSyncer::Ticket t : files) EXPECT_EQ(syncer.Error(t), 0);
    EXPECT_EQ(syncer.Error(pipeTicket), EINVAL);
    syncer.Forget(pipeTicket);
    EXPECT_EQ(syncer.Error(pipeTicket), 0);
    EXPECT_EQ(OpenDescriptors(), before);
}

INSTANTIATE_TEST_SUITE_P(Modes, FileSyncerBothWays,
                         testing::Values(FileSyncer::Mode::Background, FileSyncer::Mode::AtOnce));

// Off leaves the syncs to the caller: a file handed in is only closed.
TEST(FileSyncer, OffOnlyClosesWhatItIsHanded) {
    FileSyncer syncer(FileSyncer::Mode::Off);
    EXPECT_FALSE(syncer.Active());
    const std::size_t before = OpenDescriptors();
    int ends[2];
    ASSERT_EQ(::pipe(ends), 0);
    ::close(ends[1]);
    syncer.Add(UniqueFd(ends[0]));
    syncer.WaitAll();
    EXPECT_EQ(OpenDescriptors(), before);
}

}  // namespace
