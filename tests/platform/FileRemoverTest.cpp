#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <string>
#include <vector>

#include "platform/FileRemover.h"
#include "tests/support/TempDir.h"

using platform::FileRemover;
using testsupport::TempDir;

namespace {

class FileRemoverBothWays : public testing::TestWithParam<FileRemover::Mode> {};

// More files than the ring holds at once, among them one that is not there
// and one whose folder is a file: by Finish every file is gone, and the
// failures disturb none of the others.
TEST_P(FileRemoverBothWays, EveryFileIsGoneByFinish) {
    TempDir dir;
    FileRemover files(GetParam());
    for (int i = 0; i < 150; ++i) {
        const std::string path = dir / ("m" + std::to_string(i));
        ::close(::open(path.c_str(), O_WRONLY | O_CREAT, 0600));
        files.Remove(path);
        if (i == 70) {
            files.Remove(dir / "absent");
            ::close(::open((dir / "plain").c_str(), O_WRONLY | O_CREAT, 0600));
            files.Remove(dir / "plain/x");
        }
    }
    files.Finish();
    EXPECT_EQ(testsupport::NamesIn(dir.path()), std::vector<std::string>{"plain"});
    files.Remove(dir / "plain");  // and it goes on working after Finish
    files.Finish();
    EXPECT_TRUE(testsupport::NamesIn(dir.path()).empty());
}

INSTANTIATE_TEST_SUITE_P(Modes, FileRemoverBothWays,
                         testing::Values(FileRemover::Mode::Background, FileRemover::Mode::AtOnce));

TEST(FileRemover, AtOnceIsNeverInTheBackground) {
    EXPECT_FALSE(FileRemover(FileRemover::Mode::AtOnce).Background());
}

}  // namespace
