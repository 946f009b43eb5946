#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/Files.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"

TEST(TextHelpers, TrimOnlyBlanksAndFindWithoutCase) {
    EXPECT_EQ(platform::TrimBlanks("  a b \t "), "a b \t");
    EXPECT_EQ(platform::TrimBlanks("   "), "");
    EXPECT_EQ(platform::FindNoCase("xxFrOm", "from"), 2u);
    EXPECT_EQ(platform::FindNoCase("abc", "abcd"), std::string_view::npos);
    EXPECT_EQ(platform::FindNoCase("abc", "", 3), 3u);
    EXPECT_EQ(platform::FindNoCase("abc", "", 4), std::string_view::npos);
    EXPECT_TRUE(platform::ContainsNoCase("Report-Type=Disposition-Notification",
                                         "report-type=disposition"));
}

TEST(TextHelpers, CaseAndLatin1AreBytewise) {
    EXPECT_EQ(platform::Lower("AbC\xc4"), "abc\xc4");  // only ASCII letters change case
    EXPECT_EQ(platform::Upper("fax.tif"), "FAX.TIF");
    EXPECT_TRUE(platform::EqualsNoCase("VOXA-Fax", "voxa-FAX"));
    EXPECT_FALSE(platform::EqualsNoCase("fax", "faxes"));
    EXPECT_EQ(platform::Trim("\r\n\t x \n"), "x");
    EXPECT_EQ(platform::Latin1ToUtf8("caf\xe9"), "caf\xc3\xa9");
}

TEST(TextHelpers, OneLineBlanksEveryControlByteAndMarksACut) {
    EXPECT_EQ(platform::OneLine("550 no\r\nsuch\tuser\x7f"
                                "x",
                                100),
              "550 no  such user x");
    EXPECT_EQ(platform::OneLine("abcdef", 4, "..."), "abcd...");
    EXPECT_EQ(platform::OneLine("abcd", 4, "..."), "abcd");
}

using testsupport::TempDir;

TEST(FileHelpers, AtomicWriteReplacesWholeAndLeavesNoTempFile) {
    TempDir dir;
    const std::string path = dir / "a.ini";
    ASSERT_TRUE(platform::WriteFileAtomically(path, "one").ok());
    ASSERT_TRUE(platform::WriteFileAtomically(path, "two\n").ok());
    EXPECT_EQ(*platform::ReadWholeFile(path), "two\n");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    auto names = platform::ListFolder(dir.path());
    ASSERT_TRUE(names.ok());
    EXPECT_EQ(names->size(), 1u);
}

TEST(FileHelpers, FailuresNameThePath) {
    TempDir dir;
    auto missing = platform::ReadWholeFile(dir / "none");
    ASSERT_FALSE(missing.ok());
    EXPECT_EQ(missing.status().kind, platform::Fail::NotFound);
    EXPECT_NE(missing.status().detail.find("none"), std::string::npos);
    ASSERT_TRUE(platform::WriteFileAtomically(dir / "file", "x").ok());
    auto st = platform::MakeFolders(dir / "file/sub");
    EXPECT_FALSE(st.ok());
    EXPECT_NE(st.detail.find("file"), std::string::npos);
    EXPECT_FALSE(platform::WriteFileAtomically(dir / "no/such/folder/x", "x").ok());
    EXPECT_TRUE(platform::MakeFolders(dir / "a/b/c").ok());
    EXPECT_TRUE(platform::IsFolder(dir / "a/b/c"));
    EXPECT_EQ(platform::FolderOf("a/b/c.txt"), "a/b");
    EXPECT_EQ(platform::FolderOf("c.txt"), ".");
}

TEST(FileHelpers, ListFilesGivesRegularFilesInNameOrder) {
    TempDir dir;
    for (const char* name : {"b.txt", "a.txt", ".hidden"})
        ASSERT_TRUE(platform::WriteFileAtomically(dir / name, "x").ok());
    ASSERT_TRUE(platform::MakeFolders(dir / "sub.txt").ok());
    ASSERT_EQ(::symlink("/etc/passwd", (dir / "link.txt").c_str()), 0);
    auto files = platform::ListFiles(dir.path());
    ASSERT_TRUE(files.ok());
    EXPECT_EQ(*files, (std::vector<std::string>{".hidden", "a.txt", "b.txt"}));
    EXPECT_FALSE(platform::ListFiles(dir / "none").ok());
}

// The program's own files are read only as what they are: a link planted
// among them, or a pipe, leads nowhere.
TEST(FileHelpers, OwnFilesAreReadWithoutFollowingLinks) {
    TempDir dir;
    ASSERT_TRUE(platform::WriteFileAtomically(dir / "secret", "private").ok());
    ASSERT_EQ(::symlink((dir / "secret").c_str(), (dir / "last-run.ini").c_str()), 0);
    ASSERT_EQ(::mkfifo((dir / "fifo").c_str(), 0600), 0);
    EXPECT_EQ(platform::ReadWholeFile(dir / "last-run.ini").value_or(""), "private");
    for (const char* name : {"last-run.ini", "fifo"}) {
        auto own = platform::ReadWholeFile(dir / name, platform::Links::Refuse);
        ASSERT_FALSE(own.ok()) << name;
        EXPECT_EQ(own.status().kind, platform::Fail::Rejected) << name;
    }
    EXPECT_EQ(*platform::ReadWholeFile(dir / "secret", platform::Links::Refuse), "private");
}

// Copies a killed writer left behind are removed; other names stay.
TEST(FileHelpers, StaleCopiesOfAnAtomicWriteAreRemoved) {
    TempDir dir;
    for (const char* name :
         {".account.ini.Ab12Cd", ".account.ini.keep", "account.ini", ".x.Ab12Cd"})
        ASSERT_TRUE(platform::WriteFileAtomically(dir / name, "x").ok());
    platform::RemoveStaleCopies(dir / "account.ini");
    auto left = platform::ListFiles(dir.path());
    ASSERT_TRUE(left.ok());
    EXPECT_EQ(*left, (std::vector<std::string>{".account.ini.keep", ".x.Ab12Cd", "account.ini"}));
}
