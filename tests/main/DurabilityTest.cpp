// A whole run through a recording file layer: the program's calls to fsync
// and rename are seen (and passed on) here, so that a test can tell whether
// each file that a run puts in place reached the disk before its name did.
#include <dlfcn.h>
#include <gtest/gtest.h>
#include <stdio.h>
#include <unistd.h>

#include <filesystem>
#include <string>
#include <vector>

#include "convert/Converter.h"
#include "main/VFPrintMainProc.h"
#include "tests/support/ConvertContext.h"
#include "tests/support/RunContext.h"

namespace {

struct Call {
    // "fsync" (or fdatasync), "written" (its write-back started, so written
    // whole), "syncfs", "rename" or "link"
    std::string what;
    std::string path;  // the file synced or written, or renamed or linked from
    std::string to;
};
bool recording = false;
std::vector<Call> calls;

std::string PathOf(int fd) {
    char buf[4096];
    const ssize_t n =
        ::readlink(("/proc/self/fd/" + std::to_string(fd)).c_str(), buf, sizeof buf - 1);
    return n > 0 ? std::string(buf, static_cast<std::size_t>(n)) : std::string();
}

template <class Fn>
Fn Next(const char* name) {
    return reinterpret_cast<Fn>(::dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" int fsync(int fd) {
    if (recording) calls.push_back({"fsync", PathOf(fd), ""});
    static auto next = Next<int (*)(int)>("fsync");
    return next(fd);
}

extern "C" int fdatasync(int fd) {
    if (recording) calls.push_back({"fsync", PathOf(fd), ""});
    static auto next = Next<int (*)(int)>("fdatasync");
    return next(fd);
}

extern "C" int sync_file_range(int fd, off64_t offset, off64_t n, unsigned flags) {
    if (recording) calls.push_back({"written", PathOf(fd), ""});
    static auto next = Next<int (*)(int, off64_t, off64_t, unsigned)>("sync_file_range");
    return next(fd, offset, n, flags);
}

extern "C" int syncfs(int fd) {
    if (recording) calls.push_back({"syncfs", "", ""});
    static auto next = Next<int (*)(int)>("syncfs");
    return next(fd);
}

extern "C" int rename(const char* from, const char* to) {
    if (recording) calls.push_back({"rename", from, to});
    static auto next = Next<int (*)(const char*, const char*)>("rename");
    return next(from, to);
}

extern "C" int link(const char* from, const char* to) {
    if (recording) calls.push_back({"link", from, to});
    static auto next = Next<int (*)(const char*, const char*)>("link");
    return next(from, to);
}

extern "C" int renameat2(int fromDir, const char* from, int toDir, const char* to, unsigned flags) {
    if (recording) calls.push_back({"rename", from, to});
    static auto next = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
    return next(fromDir, from, toDir, to, flags);
}

namespace {

namespace fs = std::filesystem;

// A file written aside and renamed into place: a hidden temporary beside
// its target, or a message in a Maildir's tmp/.
bool WrittenAside(const std::string& from) {
    const fs::path p(from);
    return p.filename().string().rfind('.', 0) == 0 || p.parent_path().filename() == "tmp";
}

// Synced itself, or written whole and then the whole file system synced.
bool Synced(std::size_t from, std::size_t to, const std::string& path) {
    bool written = false;
    for (std::size_t j = from; j < to; ++j) {
        if (calls[j].what == "fsync" && calls[j].path == path) return true;
        if (calls[j].what == "written" && calls[j].path == path) written = true;
        if (calls[j].what == "syncfs" && written) return true;
    }
    return false;
}

class Durability : public testing::TestWithParam<testsupport::Maker> {};

// A run that converts a saved message into a Maildir, prints it, answers it
// and files it, writing its status keys and its record as it goes; its
// store syncs each message itself, or leaves it to a sync of the file system.
TEST_P(Durability, EveryFileARunPutsInPlaceIsOnTheDiskBeforeItsName) {
    testsupport::RunContext c(
        testsupport::RunOptions().Printing(testsupport::MagicPrinting).Store(GetParam()));
    testsupport::WriteFile(c.env.profilePath,
                           "[VOXA-FAX]\nUse_Profile=y\nUse_Defaults=1\nPrinter_Type=Fake Printer\n"
                           "Voxa_Fax_Addr=fax1@voxafax.example\nPrint_File_Types=tif\n"
                           "Confirm_Receipt=y\nNormal_EMail_Addr=fax1@voxafax.example\n");
    for (const char* n : {"1", "2"})
        testsupport::WriteFile(c.InFile(std::string(n) + ".txt"),
                               "+OK 99 octets\r\nFrom: a@b.example\r\nSubject: fax " +
                                   std::string(n) +
                                   "\r\nDisposition-Notification-To: a@b.example\r\n"
                                   "Content-Type: multipart/mixed; boundary=B\r\n\r\n--B\r\n"
                                   "Content-Type: text/plain\r\n\r\nhello\r\n--B\r\n"
                                   "Content-Type: image/tiff; name=p.tif\r\n"
                                   "Content-Transfer-Encoding: base64\r\n\r\nSUkqAA==\r\n"
                                   "--B--\r\n.\r\n");
    calls.clear();
    recording = true;
    const int status = vfmain::Main(c.ctx, "/0");
    recording = false;
    ASSERT_EQ(status, 0) << testing::PrintToString(c.logLines);
    ASSERT_EQ(c.run.gVFPrinted, 2) << testing::PrintToString(c.logLines);

    int placed = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (calls[i].what != "rename" || !WrittenAside(calls[i].path)) continue;
        ++placed;
        EXPECT_TRUE(Synced(0, i, calls[i].path))
            << calls[i].path << " became " << calls[i].to << " unsynced";
    }
    // The status keys, the run's record and the stored message at least.
    EXPECT_GT(placed, 5);

    // The fax is marked printed, durably, before its receipt is queued: a
    // run killed in between must not print it again.
    const std::string cur = c.dir / "Maildir/cur";
    std::size_t mark = 0, receipt = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        if (!mark && calls[i].what == "rename" && fs::path(calls[i].to).parent_path() == cur)
            mark = i;
        if (mark && !receipt && calls[i].what == "link" &&
            calls[i].to.find("/Out/") != std::string::npos)
            receipt = i;
    }
    ASSERT_TRUE(mark && receipt);
    EXPECT_TRUE(Synced(mark, receipt, cur));

    // Each fax's move into its folder is on the disk before the run ends,
    // its folder and the inbox synced once for the moves of the walk.
    const std::string printed = c.dir / "Maildir/.VOXA-FAXes.Printed/cur";
    int moves = 0, printedSyncs = 0;
    for (std::size_t i = 0; i < calls.size(); ++i) {
        printedSyncs += calls[i].what == "fsync" && calls[i].path == printed;
        if (calls[i].what != "rename" || fs::path(calls[i].to).parent_path() != printed) continue;
        ++moves;
        EXPECT_TRUE(Synced(i, calls.size(), printed));
        EXPECT_TRUE(Synced(i, calls.size(), fs::path(calls[i].path).parent_path()));
    }
    EXPECT_EQ(moves, 2);
    EXPECT_EQ(printedSyncs, 1);
}

// The In/ pass takes a file away only once its message is in place for
// good: when the k-th file goes, k messages at least have been renamed into
// new/ and new/ synced after them. 150 messages make batches that are
// finished while the next one converts, and a last one finished at once.
TEST_P(Durability, AnInFileGoesOnlyOnceItsMessageIsInPlaceForGood) {
    testsupport::ConvertContext c(nullptr, testsupport::RunOptions::Clock::Manual, GetParam());
    for (int i = 1; i <= 150; ++i)
        testsupport::WriteFile(c.InFile(std::to_string(1000 + i) + ".TXT"),
                               "+OK\r\nSubject: m" + std::to_string(i) + "\r\n\r\nx\r\n.\r\n");
    const std::string newDir = c.inbox + "/new";
    calls.clear();
    recording = true;
    convert::ProcessInMessages({c.ctx.store, c.inbox, c.loop, c.log, c.run, c.cfg.gVoxaFaxAddr});
    recording = false;
    int placed = 0, durable = 0, gone = 0;
    for (const Call& call : calls) {
        if (call.what == "rename" && fs::path(call.to).parent_path() == newDir) ++placed;
        if (call.what == "fsync" && call.path == newDir) durable = placed;
        if (call.what == "rename" && fs::path(call.to).filename().string().ends_with(".deleting")) {
            ++gone;
            EXPECT_LE(gone, durable) << call.path;
        }
    }
    EXPECT_EQ(placed, 150);
    EXPECT_EQ(gone, 150);
}

INSTANTIATE_TEST_SUITE_P(StoreSyncs, Durability,
                         testing::Values(testsupport::MaildirStoreSyncingAtOnce,
                                         testsupport::MaildirStoreSyncingFileSystem),
                         [](const testing::TestParamInfo<testsupport::Maker>& p) {
                             return p.index == 0 ? "EachMessage" : "FileSystem";
                         });

}  // namespace
