#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include "platform/Profile.h"
#include "tests/support/TempDir.h"

using platform::ProfileStore;
using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {
std::string Get(const ProfileStore& p, const char* key, const char* def = "DEF") {
    std::string buf;
    int n = p.GetProfileStringA("VOXA-FAX", key, def, buf, 255);
    EXPECT_EQ(n, static_cast<int>(buf.size()));
    return buf;
}
}  // namespace

TEST(ProfileStore, ReadsValuesWithoutCaseAndBlanksAndTellsEmptyFromAbsent) {
    TempDir d;
    WriteFile(d / "v.ini",
              "[other]\nkey=no\n[voxa-fax]\r\n  KEY =  value with blanks  \r\nempty=\r\n");
    ProfileStore p(d / "v.ini");
    EXPECT_EQ(Get(p, "key"), "value with blanks");
    EXPECT_EQ(Get(p, "Empty"), "");
    EXPECT_EQ(Get(p, "absent"), "DEF");
}

TEST(ProfileStore, CutsLongValuesTo254Characters) {
    TempDir d;
    WriteFile(d / "v.ini", "[VOXA-FAX]\nlong=" + std::string(300, 'x') + "\n");
    ProfileStore p(d / "v.ini");
    EXPECT_EQ(Get(p, "long"), std::string(254, 'x'));
}

TEST(ProfileStore, WriteKeepsUntouchedLinesByteForByte) {
    TempDir d;
    const std::string before =
        "; comment\r\n[VOXA-FAX]\r\nA=1\r\nprint_status=old\r\n\r\n[Other]\r\nx = y \r\n";
    WriteFile(d / "v.ini", before);
    ProfileStore p(d / "v.ini");
    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "Print_Status", "new"), 0);
    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "added", "z"), 0);
    ASSERT_NE(p.WriteProfileStringA("Third", "k", "v"), 0);
    EXPECT_EQ(
        ReadFile(d / "v.ini"),
        "; comment\r\n[VOXA-FAX]\r\nA=1\r\nprint_status=new\r\nadded=z\r\n\r\n[Other]\r\nx = y "
        "\r\n[Third]\r\nk=v\r\n");
}

TEST(ProfileStore, CreatesMissingFileAndFolderAndKeepsValuesOnOneLine) {
    TempDir d;
    ProfileStore p(d / "sub/dir/v.ini");
    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "k", "two\r\nlines"), 0);
    EXPECT_EQ(ReadFile(d / "sub/dir/v.ini"), "[VOXA-FAX]\nk=two  lines\n");
    EXPECT_EQ(Get(p, "k"), "two  lines");
}

TEST(ProfileStore, BadFilesGiveDefaultsAndNeverCrash) {
    TempDir d;
    std::string garbage;
    for (int i = 0; i < 4096; ++i) garbage += static_cast<char>((i * 131 + 7) % 256);
    WriteFile(d / "g.ini", garbage + "\n[VOXA-FAX]\nno equals sign here\n" +
                               std::string(1 << 20, 'q') + "\nkey=found\n");
    ProfileStore g(d / "g.ini");
    EXPECT_EQ(Get(g, "key"), "found");
    EXPECT_EQ(Get(g, "missing"), "DEF");

    ProfileStore dir(d.path());  // a folder cannot be read as a file
    EXPECT_EQ(Get(dir, "key"), "DEF");
    EXPECT_EQ(dir.WriteProfileStringA("VOXA-FAX", "k", "v"), 0);
}

// Two processes write different keys of one file in a loop while a reader
// checks that every read sees a whole file: no key of either side is lost.
TEST(ProfileStore, ConcurrentWritersInTwoProcessesLoseNothing) {
    TempDir d;
    const std::string path = d / "v.ini";
    ProfileStore p(path);
    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "seed", "1"), 0);
    constexpr int kRounds = 150;
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        ProfileStore c(path);
        for (int i = 0; i < kRounds; ++i)
            c.WriteProfileStringA("VOXA-FAX", ("child" + std::to_string(i % 10)).c_str(),
                                  std::to_string(i));
        ::_exit(0);
    }
    for (int i = 0; i < kRounds; ++i) {
        p.WriteProfileStringA("VOXA-FAX", ("parent" + std::to_string(i % 10)).c_str(),
                              std::to_string(i));
        std::string text = ReadFile(path);
        ASSERT_NE(text.find("[VOXA-FAX]\n"), std::string::npos);
        ASSERT_EQ(text.back(), '\n');  // never a partly written file
    }
    int status = 0;
    ::waitpid(child, &status, 0);
    for (int k = 0; k < 10; ++k) {
        EXPECT_EQ(Get(p, ("parent" + std::to_string(k)).c_str()), std::to_string(kRounds - 10 + k));
        EXPECT_EQ(Get(p, ("child" + std::to_string(k)).c_str()), std::to_string(kRounds - 10 + k));
    }
    EXPECT_EQ(Get(p, "seed"), "1");
}

// Reads of an unchanged file cost no load; every kind of change is seen by
// the next read: a write through the store, a replacement by another writer,
// an edit in place.
TEST(ProfileStore, ReadsSeeEveryChangeButLoadAnUnchangedFileOnce) {
    TempDir d;
    const std::string path = d / "v.ini";
    WriteFile(path, "[VOXA-FAX]\nfont_size=10\n");
    ProfileStore p(path);
    for (int i = 0; i < 100; ++i) ASSERT_EQ(Get(p, "font_size"), "10");
    EXPECT_EQ(p.FileLoads(), 1);

    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "font_size", "12"), 0);
    EXPECT_EQ(Get(p, "font_size"), "12");

    WriteFile(path + ".new", "[VOXA-FAX]\nfont_size=14\n");
    ASSERT_EQ(::rename((path + ".new").c_str(), path.c_str()), 0);
    EXPECT_EQ(Get(p, "font_size"), "14");

    WriteFile(path, "[VOXA-FAX]\nfont_size=9\n");  // same inode, shorter
    EXPECT_EQ(Get(p, "font_size"), "9");

    ASSERT_EQ(::unlink(path.c_str()), 0);
    EXPECT_EQ(Get(p, "font_size"), "DEF");
}

// A profile that is there but cannot be read (mode 000, a file left root's)
// once came out of a run holding only the status keys: it is never written.
// Root reads any file, so as root the write is made as nobody.
TEST(ProfileStore, AFileThatCannotBeReadIsNeverWrittenBack) {
    TempDir d;
    ASSERT_EQ(::chmod(d.path().c_str(), 0777), 0);
    const std::string path = d / "v.ini";
    const std::string settings = "[VOXA-FAX]\nPassword=pw\nPrinter_Type=Fax PDF\n";
    WriteFile(path, settings);
    ASSERT_EQ(::chmod(path.c_str(), 0), 0);
    const bool root = ::geteuid() == 0;
    if (root) {
        ASSERT_EQ(::chown(path.c_str(), 65534, 65534), 0);
        ASSERT_EQ(::seteuid(65534), 0);
    }
    const int written = ProfileStore(path).WriteProfileStringA("VOXA-FAX", "VFPrint", "running");
    if (root) {
        ASSERT_EQ(::seteuid(0), 0);
    }
    EXPECT_EQ(written, 0);
    ASSERT_EQ(::chmod(path.c_str(), 0600), 0);
    EXPECT_EQ(ReadFile(path), settings);
}

// A profile kept elsewhere and linked into place stays a link.
TEST(ProfileStore, ALinkedFileStaysALink) {
    TempDir d;
    WriteFile(d / "dotfiles.ini", "[VOXA-FAX]\nPassword=pw\n");
    ASSERT_EQ(::symlink((d / "dotfiles.ini").c_str(), (d / "v.ini").c_str()), 0);
    ProfileStore p(d / "v.ini");
    ASSERT_NE(p.WriteProfileStringA("VOXA-FAX", "VFPrint", "quit"), 0);
    struct stat st {};
    ASSERT_EQ(::lstat((d / "v.ini").c_str(), &st), 0);
    EXPECT_TRUE(S_ISLNK(st.st_mode));
    EXPECT_EQ(ReadFile(d / "dotfiles.ini"), "[VOXA-FAX]\nPassword=pw\nVFPrint=quit\n");
}
