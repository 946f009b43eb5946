#include <gtest/gtest.h>

#include <algorithm>

#include "linux/tcp/Resolver.h"
#include "tests/support/TempDir.h"

TEST(HostsFileResolver, FindsNamesWithoutCaseAndNothingElse) {
    testsupport::TempDir d;
    testsupport::WriteFile(d / "hosts",
                           "# comment 10.0.0.1 commented\n127.0.0.1 localhost Mail.Example\n"
                           "::1 localhost ip6-localhost\n\n   \n127.0.0.2\tother # trailing\n");
    auto resolve = platform::HostsFileResolver(d / "hosts");
    EXPECT_EQ(resolve("mail.example"), std::vector<std::string>{"127.0.0.1"});
    EXPECT_EQ(resolve("localhost"), (std::vector<std::string>{"127.0.0.1", "::1"}));
    EXPECT_EQ(resolve("other"), std::vector<std::string>{"127.0.0.2"});
    EXPECT_TRUE(resolve("commented").empty());
    EXPECT_TRUE(resolve("smtp.voxafax.example").empty());
    EXPECT_TRUE(platform::HostsFileResolver(d / "missing")("localhost").empty());
}

TEST(Resolver, SystemResolverFindsLocalhostAndTablesKnowOnlyTheirNames) {
    // localhost comes from the hosts file: no name server is asked.
    auto addrs = platform::SystemResolver(std::chrono::seconds(2))("localhost");
    EXPECT_NE(std::find(addrs.begin(), addrs.end(), "127.0.0.1"), addrs.end());
    EXPECT_TRUE(platform::SystemResolver(std::chrono::seconds(2))("").empty());
    auto table = platform::TableResolver({{"Mail.Test", {"127.0.0.5", "::1"}}});
    EXPECT_EQ(table("mail.test"), (std::vector<std::string>{"127.0.0.5", "::1"}));
    EXPECT_TRUE(table("other.test").empty());
    EXPECT_TRUE(platform::IsDottedAddress("10.0.0.1"));
    EXPECT_FALSE(platform::IsDottedAddress("10.0.0.x"));
    EXPECT_FALSE(platform::IsDottedAddress(""));
}
