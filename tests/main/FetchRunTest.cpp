// Whole runs that fetch by POP3 from a mailbox behind a fake socket, each
// message converted while the next is downloaded: every message ends in the
// store once, whether the run ends well or is killed before QUIT and run
// again.
#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <set>

#include "convert/Converter.h"
#include "main/VFPrintMainProc.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/RunContext.h"

namespace {

namespace fs = std::filesystem;

// A POP3 mailbox: answers each command as it is written; what was deleted
// goes at QUIT.
struct Mailbox {
    std::vector<std::string> messages;
    std::set<std::size_t> deleted;
    std::function<void()> atQuit;  // before QUIT is answered

    void Serve(platform::FakeSocket& s) {
        s.knownNames = {"pop.example"};
        s.greeting = "+OK ready\r\n";
        s.respond = [this](platform::FakeSocket& s, const std::string& line) {
            s.Arrive(Answer(line.substr(0, line.find('\r'))));
        };
    }
    std::string Answer(const std::string& cmd) {
        const std::size_t n = cmd.find(' ') == std::string::npos
                                  ? 0
                                  : std::strtoul(cmd.c_str() + cmd.find(' ') + 1, nullptr, 10);
        if (cmd == "STAT") return "+OK " + std::to_string(messages.size()) + " 0\r\n";
        if (cmd == "LIST" || cmd == "UIDL") {
            std::string out = "+OK\r\n";
            for (std::size_t i = 1; i <= messages.size(); ++i)
                out += std::to_string(i) + " " +
                       (cmd == "LIST" ? std::to_string(messages[i - 1].size())
                                      : "u" + messages[i - 1].substr(9, 3)) +
                       "\r\n";
            return out + ".\r\n";
        }
        if (cmd.starts_with("RETR ")) return "+OK\r\n" + messages.at(n - 1) + ".\r\n";
        if (cmd.starts_with("DELE ")) deleted.insert(n - 1);
        if (cmd == "QUIT") {
            if (atQuit) atQuit();
            std::vector<std::string> kept;
            for (std::size_t i = 0; i < messages.size(); ++i)
                if (!deleted.count(i)) kept.push_back(messages[i]);
            messages = kept;
            deleted.clear();
        }
        return "+OK\r\n";
    }
};

struct FetchRun : testsupport::RunContext {
    platform::FakeSocketFactory sockets;
    Mailbox box;

    FetchRun()
        : RunContext(testsupport::RunOptions()
                         .In("home", "cfg/voxafax.ini")
                         .NoFolders()
                         .Sockets(&sockets)) {
        // No printer: the messages stay in the inbox to be counted.
        testsupport::WriteFile(env.profilePath,
                               "[VOXA-FAX]\nVoxa_Fax_Addr=fax1@pop.example\nPassword=x\n");
        env.tick = platform::Millis(50);
        store.AddProfile(testsupport::kProfile);
        sockets.setup = [this](platform::FakeSocket& s) { box.Serve(s); };
        for (int i = 100; i < 100 + 65; ++i)
            box.messages.push_back("Subject: " + std::to_string(i) + "\r\n\r\nfax\r\n");
    }
    // How many times each subject is in the inbox, and how many subjects.
    std::map<std::string, int> Inbox() {
        std::map<std::string, int> n;
        for (const auto& m : store.Inbox(testsupport::kProfile).messages)
            ++n[m->subject.substr(0, 3)];
        return n;
    }
    bool InEmpty() const {
        return std::none_of(fs::directory_iterator(run.gInDir), fs::directory_iterator(),
                            [](const fs::directory_entry& e) {
                                return e.path().extension() == ".TXT" ||
                                       e.path().filename() == convert::kEarlyJournal;
                            });
    }
};

// A full batch is durable before QUIT, the rest not: a kill there leaves
// 64 messages stored and all 65 files staged, with the server holding all.
TEST(FetchRun, KilledBeforeQuitAndRunAgainEveryMessageIsStoredOnce) {
    FetchRun r;
    std::set<std::string> durableAtQuit;
    const fs::path saved = r.dir / "saved";
    r.box.atQuit = [&] {
        for (const auto& m : r.store.Inbox(testsupport::kProfile).messages)
            if (!m->unsynced) durableAtQuit.insert(m->id);
        fs::copy(r.run.gInDir, saved, fs::copy_options::recursive);
    };
    const auto before = r.box.messages;
    EXPECT_EQ(vfmain::Main(r.ctx, "/0"), 0) << testing::PrintToString(r.logLines);
    EXPECT_EQ(r.Inbox().size(), 65u);
    EXPECT_TRUE(r.InEmpty());
    EXPECT_EQ(r.Logged("I|converted 65 messages while downloading"), 1);
    ASSERT_EQ(durableAtQuit.size(), 64u);

    // The kill: the server never saw QUIT, the disk holds what it held then.
    r.box.messages = before;
    r.box.atQuit = nullptr;
    std::erase_if(r.store.Inbox(testsupport::kProfile).messages,
                  [&](const auto& m) { return !durableAtQuit.count(m->id); });
    fs::remove_all(r.run.gInDir);
    fs::rename(saved, r.run.gInDir);
    EXPECT_EQ(vfmain::Main(r.ctx, "/0"), 0) << testing::PrintToString(r.logLines);
    const auto counts = r.Inbox();
    EXPECT_EQ(counts.size(), 65u);
    for (const auto& [subject, n] : counts) EXPECT_EQ(n, 1) << subject;
    EXPECT_TRUE(r.box.messages.empty());
    EXPECT_TRUE(r.InEmpty());
}

}  // namespace
