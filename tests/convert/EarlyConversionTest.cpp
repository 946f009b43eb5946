// Messages converted while their session goes on: stored once, their files
// deleted only once their batch is durable, nothing stored twice after a
// session that died, and whatever fails left to the In/ pass.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>

#include "convert/Converter.h"
#include "tests/support/ConvertContext.h"

namespace {

namespace fs = std::filesystem;
using testsupport::ConvertContext;
using testsupport::WriteFile;

struct Session : ConvertContext {
    convert::Conversion Conv() { return {ctx.store, inbox, loop, log, run, cfg.gVoxaFaxAddr}; }

    // A whole download in the staging folder, as the POP client leaves it.
    std::string Stage(int n) {
        const std::string path = InFile(".pop/t_" + std::to_string(n) + ".TXT");
        fs::create_directories(fs::path(path).parent_path());
        WriteFile(path, "+OK\r\nSubject: m" + std::to_string(n) + "\r\n\r\nfax\r\n.\r\n");
        return path;
    }
    // Hands a staged download over to In/, telling `early` when it took it.
    void Deliver(int n, convert::EarlyConversion* early) {
        const std::string from = InFile(".pop/t_" + std::to_string(n) + ".TXT");
        const std::string to = InFile(std::to_string(n) + ".TXT");
        fs::rename(from, to);
        if (early) early->Moved(from, to);
    }
    // The subjects of the inbox, sorted, and how many are not yet synced.
    std::vector<std::string> Subjects() {
        std::vector<std::string> out;
        for (const auto& m : Inbox().messages) out.push_back(m->subject.substr(0, 2));
        std::sort(out.begin(), out.end());
        return out;
    }
    std::size_t Unsynced() {
        return std::count_if(Inbox().messages.begin(), Inbox().messages.end(),
                             [](const auto& m) { return m->unsynced; });
    }
    // What a killed process leaves of the store: what was synced.
    void Kill() {
        std::erase_if(Inbox().messages, [](const auto& m) { return m->unsynced; });
    }
    bool InEmpty() {
        for (const auto& n : testsupport::NamesIn(run.gInDir, true))
            if (n.ends_with(".TXT")) return false;
        return true;
    }
    bool Journal() { return fs::exists(InFile(convert::kEarlyJournal)); }
};

TEST(EarlyConversion, ATakenMessageIsStoredOnceAndItsFileGoesWithoutBeingReadAgain) {
    Session t;
    convert::EarlyConversion early(t.Conv());
    for (int n = 1; n <= 3; ++n) early.Take(t.Stage(n));
    // Stored, not yet durable; the journal is on the disk before any of it is.
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_EQ(t.Unsynced(), 3u);
    EXPECT_TRUE(t.Journal());
    for (int n = 1; n <= 3; ++n) t.Deliver(n, &early);
    // Were the file read again, this would be stored too.
    WriteFile(t.InFile("1.TXT"), "+OK\r\nSubject: xx\r\n\r\nother\r\n.\r\n");
    WriteFile(t.InFile("9.TXT"), "+OK\r\nSubject: m9\r\n\r\nfax\r\n.\r\n");

    convert::ProcessInMessages(t.Conv(), &early);
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3", "m9"}));
    EXPECT_EQ(t.Unsynced(), 0u);
    EXPECT_TRUE(t.InEmpty());
    EXPECT_FALSE(t.Journal());
    EXPECT_FALSE(fs::exists(t.InFile(convert::kJournal)));
    EXPECT_EQ(t.run.stats.messagesConverted, 4);
    EXPECT_TRUE(t.run.gLastError.empty()) << t.run.gLastError;

    // One that could not be handed over to In/ keeps the journal: its
    // message is durable, and its file reaches In/ next session.
    convert::EarlyConversion again(t.Conv());
    again.Take(t.Stage(4));
    convert::ProcessInMessages(t.Conv(), &again);
    EXPECT_TRUE(t.Journal());
}

// Killed during the session: three messages durable, one not, one file
// in In/ already. The next run's first pass comes before the dead
// session's other downloads reach In/, so the journal stays for the pass
// after the next session.
TEST(EarlyConversion, AfterASessionThatDiedNothingIsStoredTwice) {
    Session t;
    {
        convert::EarlyConversion early(t.Conv());
        for (int n = 1; n <= 3; ++n) early.Take(t.Stage(n));
        ASSERT_TRUE(early.Settle());
        early.Take(t.Stage(4));
        t.Deliver(1, &early);
        t.Kill();
    }
    ASSERT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3"}));

    convert::ProcessInMessages(t.Conv());
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_TRUE(t.InEmpty());
    EXPECT_TRUE(t.Journal());

    convert::EarlyConversion next(t.Conv());
    EXPECT_TRUE(next.FoundJournal());
    for (int n = 2; n <= 4; ++n) t.Deliver(n, nullptr);  // leftovers, not taken by this session
    next.Take(t.Stage(5));
    t.Deliver(5, &next);
    convert::ProcessInMessages(t.Conv(), &next);
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3", "m4", "m5"}));
    EXPECT_TRUE(t.InEmpty());
    EXPECT_FALSE(t.Journal());
}

// A message the store refuses while downloading, and a batch whose sync
// fails, are converted by the In/ pass like any file, once each; neither
// failure reaches the status keys when that pass succeeds.
TEST(EarlyConversion, WhatFailsWhileDownloadingIsConvertedByTheInPass) {
    Session t;
    convert::EarlyConversion early(t.Conv());
    t.store.FailNext("Store");
    for (int n = 1; n <= 3; ++n) early.Take(t.Stage(n));
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m2", "m3"}));
    for (int n = 1; n <= 3; ++n) t.Deliver(n, &early);
    t.store.FailNext("Sync");
    convert::ProcessInMessages(t.Conv(), &early);
    EXPECT_EQ(t.Subjects(), (std::vector<std::string>{"m1", "m2", "m3"}));
    EXPECT_EQ(t.Unsynced(), 0u);
    EXPECT_TRUE(t.InEmpty());
    EXPECT_TRUE(t.run.gLastError.empty()) << t.run.gLastError;
}

}  // namespace
