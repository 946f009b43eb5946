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

// A file's digest is that of its bytes however they are fed; digests in the
// form earlier versions wrote are still taken alike, or journals and
// remembered lists written before an upgrade would match nothing.
TEST(FileHelpers, DigestsDependOnTheBytesAloneInEitherForm) {
    TempDir dir;
    const std::string text = "+OK 40 octets\r\nSubject: filed\r\n\r\nx\r\n.\r\n";
    testsupport::WriteFile(dir / "a", text);
    const auto digest = platform::FileDigest(dir / "a");
    ASSERT_TRUE(digest.ok());
    EXPECT_EQ(digest->rfind("xxh3:39:", 0), 0u) << *digest;
    EXPECT_EQ(platform::FormOf(*digest), platform::DigestForm::Current);
    for (std::size_t cut = 0; cut <= text.size(); cut += 7) {
        platform::FileDigester d;
        d.Update(std::string_view(text).substr(0, cut));
        d.Update("");
        d.Update(std::string_view(text).substr(cut));
        EXPECT_EQ(d.Final(), *digest) << cut;
    }
    std::string other = text;
    other[other.find("\nx") + 1] = 'y';  // one byte, same length
    testsupport::WriteFile(dir / "b", other);
    EXPECT_NE(platform::FileDigest(dir / "b").value_or(""), *digest);
    // Without the first line, the reply line a server may vary.
    testsupport::WriteFile(dir / "c", "+OK message 1 follows" + text.substr(text.find('\n')));
    EXPECT_EQ(platform::FileDigest(dir / "c", true).value_or(""),
              platform::FileDigest(dir / "a", true).value_or("?"));

    // The earlier form, as earlier versions wrote it for these very bytes.
    const auto earlier = [&](const char* name, bool skip) {
        return platform::FileDigest(dir / name, skip, platform::DigestForm::Earlier).value_or("");
    };
    EXPECT_EQ(earlier("a", false), "39:a6b446fadc194189");
    EXPECT_EQ(earlier("a", true), "24:14e71e5c9d63cba1");
    EXPECT_EQ(platform::FormOf("39:a6b446fadc194189"), platform::DigestForm::Earlier);
    testsupport::WriteFile(
        dir / "d", "0123456789abcdefghijklmnopqrstuvwxyzABCDEFGHIJKLMNOPQRSTUVWXYZ-0123456789");
    EXPECT_EQ(earlier("d", false), "73:47592be196ba6a6b");
    testsupport::WriteFile(dir / "e", "");
    EXPECT_EQ(earlier("e", false), "0:9353dfc8a195f3e2");
    EXPECT_FALSE(platform::FileDigest(dir / "none").ok());
}
