#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cerrno>
#include <map>
#include <string>

#include "platform/FileRemover.h"
#include "tests/support/TempDir.h"

using platform::FileRemover;
using testsupport::TempDir;

namespace {

class FileRemoverBothWays : public testing::TestWithParam<FileRemover::Mode> {};

// More files than the ring holds at once, one that is not there and one whose
// folder is a file: every outcome arrives, each once, and by Finish.
TEST_P(FileRemoverBothWays, EveryRemovalEndsOnceWithItsOwnOutcome) {
    TempDir dir;
    std::map<std::string, int> outcome;
    std::map<std::string, int> calls;
    {
        FileRemover files(GetParam());
        auto note = [&](const std::string& path) {
            return [&, path](int err) {
                outcome[path] = err;
                ++calls[path];
            };
        };
        for (int i = 0; i < 150; ++i) {
            const std::string path = dir / ("m" + std::to_string(i));
            ::close(::open(path.c_str(), O_WRONLY | O_CREAT, 0600));
            files.Remove(path, note(path));
        }
        files.Remove(dir / "absent", note(dir / "absent"));
        ::close(::open((dir / "plain").c_str(), O_WRONLY | O_CREAT, 0600));
        files.Remove(dir / "plain/x", note(dir / "plain/x"));
        files.Finish();
        EXPECT_EQ(outcome.size(), 152u);
    }
    for (const auto& [path, n] : calls) EXPECT_EQ(n, 1) << path;
    for (int i = 0; i < 150; ++i) {
        const std::string path = dir / ("m" + std::to_string(i));
        EXPECT_EQ(outcome[path], 0) << path;
        EXPECT_NE(::access(path.c_str(), F_OK), 0) << path;
    }
    EXPECT_EQ(outcome[dir / "absent"], ENOENT);
    EXPECT_EQ(outcome[dir / "plain/x"], ENOTDIR);
}

INSTANTIATE_TEST_SUITE_P(Modes, FileRemoverBothWays,
                         testing::Values(FileRemover::Mode::Background, FileRemover::Mode::AtOnce));

TEST(FileRemover, AtOnceIsNeverInTheBackground) {
    EXPECT_FALSE(FileRemover(FileRemover::Mode::AtOnce).Background());
}

}  // namespace
