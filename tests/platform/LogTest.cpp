#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "platform/Log.h"

using platform::Log;
using platform::LogLevel;

TEST(RunLog, ThresholdChoosesLinesButEveryProblemIsKept) {
    std::vector<std::string> lines;
    Log log(LogLevel::Warning, [&](LogLevel, std::string_view l) { lines.emplace_back(l); });
    log.Info("fax printed");
    log.Debug("S: +OK");
    log.Warning("receipt queued");
    log.Error("pop3 host:110: connection refused");
    EXPECT_EQ(lines,
              (std::vector<std::string>{"receipt queued", "pop3 host:110: connection refused"}));
    EXPECT_EQ(log.ErrorCount(), 1);
    EXPECT_EQ(log.WarningCount(), 1);
    ASSERT_EQ(log.Problems().size(), 2u);
    EXPECT_EQ(log.Problems()[1], "error: pop3 host:110: connection refused");
}

TEST(RunLog, HostileTextStaysOneBoundedLine) {
    std::vector<std::string> lines;
    Log log(LogLevel::Debug, [&](LogLevel, std::string_view l) { lines.emplace_back(l); });
    log.Info("subject \"a\r\nvoxafax-print: error: forged\"");
    log.Info(std::string(5000, 'x'));
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].find('\n'), std::string::npos);
    EXPECT_EQ(lines[0].find('\r'), std::string::npos);
    EXPECT_LE(lines[1].size(), 403u);
    EXPECT_EQ(lines[1].substr(lines[1].size() - 3), "...");
}

TEST(RunLog, LevelNamesFromTheEnvironment) {
    bool unknown = false;
    EXPECT_EQ(Log::LevelFromEnvironment(nullptr), LogLevel::Info);
    EXPECT_EQ(Log::LevelFromEnvironment("quiet"), LogLevel::Warning);
    EXPECT_EQ(Log::LevelFromEnvironment("debug"), LogLevel::Debug);
    EXPECT_EQ(Log::LevelFromEnvironment("loud", &unknown), LogLevel::Info);
    EXPECT_TRUE(unknown);
}
