#pragma once
// One run's context for tests, fuzz targets and benchmarks: a program folder
// in a temporary directory, the run's configuration and globals, a run log
// that keeps every line, and fakes for every platform service unless the
// caller asks for a real one. Hands out the config::Context that the code
// under test takes. Needs no test framework.
#include <functional>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "config/RunGlobals.h"
#include "platform/Clock.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Imaging.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "tests/fakes/DeadSocket.h"
#include "tests/fakes/FakeDialogs.h"
#include "tests/fakes/FakeMailStore.h"
#include "tests/fakes/FakePrinters.h"
#include "tests/support/TempDir.h"

namespace testsupport {

inline constexpr const char* kProfile = "Windows Messaging Settings";

// Virtual time that moves a little whenever someone looks: waits that would
// take minutes end after a few hundred loop turns, without sleeping.
class SteppingClock final : public platform::Clock {
  public:
    platform::SteadyTime Now() const override { return now_ += platform::Millis(5); }
    bool IsReal() const override { return false; }

  private:
    mutable platform::SteadyTime now_{};
};

// Files whose content begins with "II*" are images of one page ("PAGES=n" in
// the first bytes sets another count; "BOMB" and "LONG" stand for the
// imaging limits); anything else is not an image. Printing records the
// file's first bytes and goes through the printers so that their failures
// come through. An image with "NOPRINT" fails to print (a damaged page, not
// the printer's fault), one with "DISKFULL" as if its PDF could not be
// written to the full disk.
class MagicImaging final : public platform::Imaging {
  public:
    explicit MagicImaging(platform::Printers& p) : printers(p) {}
    platform::Result<platform::ImageInfo> Open(const std::string& path) override;
    platform::Status Print(const std::string& path, const std::string& printerName) override;

    platform::Printers& printers;
    std::vector<std::string> printedContents;
    int failAfter = -1;             // prints that succeed before the printer goes away
    std::function<void()> onPrint;  // called after each document printed
};

class RunContext;
// Puts a real service (or another stand-in) in place of a fake; called once
// the run's folders exist.
using Maker = void (*)(RunContext&);

struct RunOptions {
    enum class Clock { Manual, Real, Stepping };
    Clock clock = Clock::Manual;
    // The program folder and the profile file, under the temporary folder.
    std::string home;  // "": the temporary folder itself
    std::string profile = "voxafax.ini";
    bool makeFolders = true;                     // temp/, In/, Out/ and MDNs/ in the program folder
    Maker printing = nullptr;                    // nullptr: fake printers and fake imaging
    Maker store = nullptr;                       // nullptr: the in-memory store
    platform::SocketFactory* sockets = nullptr;  // nullptr: sockets that never connect

    // Chained: RunContext c(RunOptions().On(Clock::Real).Sockets(&factory)).
    RunOptions& On(Clock c) { return clock = c, *this; }
    RunOptions& In(std::string homeDir, std::string profileFile = "voxafax.ini") {
        home = std::move(homeDir), profile = std::move(profileFile);
        return *this;
    }
    RunOptions& NoFolders() { return makeFolders = false, *this; }
    RunOptions& Printing(Maker m) { return printing = m, *this; }
    RunOptions& Store(Maker m) { return store = m, *this; }
    RunOptions& Sockets(platform::SocketFactory* f) { return sockets = f, *this; }
};

// Printing through MagicImaging over the fake printers.
void MagicPrinting(RunContext& c);
// The system printers with one folder printer "Fax PDF" writing into
// dir/prints, and the real imaging component. The machine's own print
// scheduler stays out of reach unless VOXAFAX_TEST_CUPS names one.
void FolderPrinting(RunContext& c);
// A Maildir store whose profile kProfile keeps its mail in dir/Maildir.
void MaildirStore(RunContext& c);
// The same, with each stored message synced by fdatasync() as it is written,
// or only by one sync of the file system per batch: the ways a test can
// watch (the kernel's background syncs are out of its sight).
void MaildirStoreSyncingAtOnce(RunContext& c);
void MaildirStoreSyncingFileSystem(RunContext& c);

class RunContext {
  public:
    explicit RunContext(RunOptions o = {});
    RunContext(const RunContext&) = delete;
    RunContext& operator=(const RunContext&) = delete;

    // The program folder, and the path of a file in its In/ folder.
    const std::string& Home() const { return env.programFolder; }
    std::string InFile(const std::string& name) const { return run.gInDir + name; }
    // The log lines with this tag ("E|", "W|", "I|", "D|") that contain text.
    int Logged(const std::string& tagAndText) const;

    TempDir dir;
    platform::Environment env;
    config::Options options;
    platform::ManualClock manualClock;
    platform::SystemClock systemClock;
    SteppingClock steppingClock;
    platform::Clock& clock;
    platform::EventLoop loop{clock};
    platform::ProfileStore profile;
    platform::FakeDialogs dialogs;
    platform::FakePrinters fakePrinters;
    platform::FakeImaging fakeImaging{fakePrinters};
    platform::FakeMailStore store;
    platform::DeadSockets deadSockets;
    config::NodeConfig cfg;
    config::RunGlobals run;
    // Every line of the run log as "E|line", "W|line", "I|line" or "D|line".
    std::vector<std::string> logLines;
    platform::Log log;
    // Services a Maker put in place of the fakes.
    std::unique_ptr<platform::Printers> ownPrinters;
    std::unique_ptr<platform::Imaging> ownImaging;
    std::unique_ptr<platform::MailStore> ownStore;

  private:
    config::Context& Build(const RunOptions& o);
    std::unique_ptr<config::Context> built_;

  public:
    config::Context& ctx;
};

}  // namespace testsupport
