// Where a server's password comes from: the profile, a file of the user's
// own, or a command's output, fetched once per run; failures name the key
// and never what was read.
#include <gtest/gtest.h>
#include <sys/prctl.h>
#include <sys/resource.h>
#include <sys/stat.h>

#include "config/Secrets.h"
#include "platform/EventLoop.h"
#include "tests/support/TempDir.h"

using namespace std::chrono_literals;

namespace {

config::SecretSource Smtp() {
    config::SecretSource s;
    s.section = "smtp";
    return s;
}

TEST(Secrets, ProfilePasswordUnlessAFileOfTheUsersOwnSaysOtherwise) {
    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    testsupport::TempDir dir;
    config::Secrets secrets(loop, "/cfg/options.ini");
    EXPECT_EQ(*secrets.Password(Smtp(), "from-profile"), "from-profile");

    config::SecretSource src = Smtp();
    src.file = dir / "pw";
    auto missing = secrets.Password(src, "from-profile");
    ASSERT_FALSE(missing);
    EXPECT_NE(missing.status().detail.find("[smtp] password_file in /cfg/options.ini"),
              std::string::npos);

    // Others could read it: refused, without a word of what it holds.
    testsupport::WriteFile(src.file, "s3cret\r\nsecond line\n");
    ::chmod(src.file.c_str(), 0640);
    auto open = secrets.Password(src, "");
    ASSERT_FALSE(open);
    EXPECT_NE(open.status().detail.find("chmod 600"), std::string::npos);
    EXPECT_EQ(open.status().detail.find("s3cret"), std::string::npos);

    ::chmod(src.file.c_str(), 0600);
    EXPECT_EQ(*secrets.Password(src, ""), "s3cret");
    // Once read it is kept: a later change of the file is not seen this run.
    testsupport::WriteFile(src.file, "other\n");
    EXPECT_EQ(*secrets.Password(src, ""), "s3cret");
    // Reading a password turned core files off.
    EXPECT_EQ(::prctl(PR_GET_DUMPABLE), 0);
    rlimit core{};
    ::getrlimit(RLIMIT_CORE, &core);
    EXPECT_EQ(core.rlim_cur, 0u);
}

TEST(Secrets, CommandRunsOnceAndItsFailuresNeverShowItsOutput) {
    platform::SystemClock clock;
    platform::EventLoop loop(clock);
    testsupport::TempDir dir;
    config::Secrets secrets(loop, "options.ini");
    config::SecretSource src = Smtp();
    const std::string runs = dir / "runs";
    src.command = "echo run >>" + runs + "; printf 'tok-123\\nrest\\n'";
    EXPECT_EQ(*secrets.Password(src, "profile"), "tok-123");
    EXPECT_EQ(*secrets.Password(src, "profile"), "tok-123");
    EXPECT_EQ(testsupport::ReadFile(runs), "run\n");

    config::Secrets other(loop, "options.ini");
    config::SecretSource bad = Smtp();
    bad.command = "printf leaked; exit 3";
    auto failed = other.Password(bad, "");
    ASSERT_FALSE(failed);
    EXPECT_NE(failed.status().detail.find("[smtp] password_command in options.ini"),
              std::string::npos);
    EXPECT_NE(failed.status().detail.find("status 3"), std::string::npos);
    EXPECT_EQ(failed.status().detail.find("leaked"), std::string::npos);

    bad.command = "true";
    EXPECT_NE(other.Password(bad, "").status().detail.find("printed no password"),
              std::string::npos);
}

TEST(Secrets, CommandThatDoesNotEndIsStoppedAtItsLimit) {
    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    config::Secrets secrets(loop, "options.ini", 30s);
    config::SecretSource src = Smtp();
    src.command = "sleep 600";
    auto got = secrets.Password(src, "");
    ASSERT_FALSE(got);
    EXPECT_EQ(got.status().kind, platform::Fail::TimedOut);
    EXPECT_EQ(clock.now.time_since_epoch(), 30s);
}

}  // namespace
