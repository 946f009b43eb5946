#include <gtest/gtest.h>

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
