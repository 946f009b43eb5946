// An arbitrary saved POP message through the MIME walker into an in-memory
// store, with small limits so that long lines, full headers and spilled text
// parts are reached by small inputs. Nothing may be written outside the
// program folder's temp/ and In/, and the message must be saved.
//
// Then the same file through the whole conversion of In/ into a real Maildir
// inbox under a write budget (a file size limit picked by the first byte):
// the file must stay in In/ exactly when its message was not stored, and a
// failed conversion leaves nothing in the Maildir.
#include <dirent.h>
#include <signal.h>
#include <sys/resource.h>
#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <set>
#include <string>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/MimeWalker.h"
#include "linux/maildir/MaildirStore.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "tests/fakes/FakeDialogs.h"
#include "tests/fakes/FakeMailStore.h"

namespace {

std::set<std::string> Entries(const std::string& dir) {
    std::set<std::string> out;
    for (auto& e : std::filesystem::directory_iterator(dir))
        out.insert(e.path().filename().string());
    return out;
}

std::size_t Count(const std::string& dir) {
    return Entries(dir).size();
}

// The real store beside the fake one: its own program folder and Maildir.
struct MaildirSide {
    std::string maildir;
    platform::FakeDialogs dialogs;
    std::unique_ptr<platform::MaildirStore> store;
    platform::FolderId inbox;
    config::RunGlobals run;

    explicit MaildirSide(const std::string& root) : maildir(root + "/Maildir") {
        std::ofstream(root + "/stores.ini") << "[M]\nmaildir = " << maildir << "\n";
        store = std::make_unique<platform::MaildirStore>(root + "/stores.ini", dialogs);
        auto logon = store->LogOn("M", false);
        if (!logon) std::abort();
        inbox = logon->inbox;
        run.Init(root + "/app2");
        std::filesystem::create_directories(run.gTempDir);
        std::filesystem::create_directories(run.gInDir);
        ::signal(SIGXFSZ, SIG_IGN);  // a write beyond the budget fails with EFBIG
    }
};

struct Fixture {
    std::string root;
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log{platform::LogLevel::Debug, nullptr};
    platform::FolderId inbox;
    std::set<std::string> rootEntries;
    std::unique_ptr<MaildirSide> real;

    Fixture() {
        char tmpl[] = "/tmp/vf-fuzz-walk.XXXXXX";
        root = ::mkdtemp(tmpl);
        const std::string app = root + "/app";
        run.Init(app);
        std::filesystem::create_directories(run.gTempDir);
        std::filesystem::create_directories(run.gInDir);
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        store.AddProfile("P");
        inbox = store.LogOn("P", false)->inbox;
        real = std::make_unique<MaildirSide>(root);
        rootEntries = Entries(root);
    }
};

void ConvertUnderBudget(Fixture& fx, const std::uint8_t* data, std::size_t size) {
    MaildirSide& m = *fx.real;
    const std::string path = m.run.gInDir + "1.TXT";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    static const rlim_t kBudgets[] = {RLIM_INFINITY, 64, 700, 4096, 20000};
    rlimit old{};
    ::getrlimit(RLIMIT_FSIZE, &old);
    rlimit budget = old;
    budget.rlim_cur = kBudgets[size ? data[0] % 5 : 0];
    ::setrlimit(RLIMIT_FSIZE, &budget);
    convert::ProcessInMessages({*m.store, m.inbox, fx.loop, fx.log, m.run, fx.cfg.gVoxaFaxAddr});
    ::setrlimit(RLIMIT_FSIZE, &old);

    const bool stored = m.run.failure == config::RunFailure::None;
    const bool kept = std::filesystem::exists(path);
    const std::size_t messages = Count(m.maildir + "/new") + Count(m.maildir + "/cur");
    if (stored != (messages == 1)) std::abort();  // one message exactly when it was stored
    if (stored == kept && m.run.stats.messagesSetAside == 0) std::abort();
    if (Count(m.maildir + "/tmp") != 0) std::abort();
    if (!stored && m.run.gLastError.empty()) std::abort();

    for (const char* sub : {"/new", "/cur"})
        for (auto& e : std::filesystem::directory_iterator(m.maildir + sub))
            std::filesystem::remove(e.path());
    for (const std::string& dir : {m.run.gInDir, m.run.gTempDir})
        for (auto& e : std::filesystem::directory_iterator(dir))
            std::filesystem::remove_all(e.path());
    m.run.failure = config::RunFailure::None;
    m.run.gLastError.clear();
    m.run.stats = config::RunStats{};
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fx;
    const std::string path = fx.run.gInDir + "1.TXT";
    {
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        out.write(reinterpret_cast<const char*>(data), static_cast<std::streamsize>(size));
    }
    convert::WalkerLimits limits;
    limits.readBuffer = 7;
    limits.maxLinePiece = 64;
    limits.maxHeaderText = 1024;
    limits.maxTextPart = 512;
    limits.singlePartTextMax = 300;
    const convert::Conversion conversion{fx.store, fx.inbox, fx.loop,
                                         fx.log,   fx.run,   fx.cfg.gVoxaFaxAddr};
    if (convert::ProcessMessageWith(conversion, path, limits).outcome != convert::Outcome::Stored)
        std::abort();

    auto& messages = fx.store.Inbox("P").messages;
    if (messages.size() != 1) std::abort();  // every file makes exactly one message
    messages.clear();
    if (Entries(fx.root) != fx.rootEntries) std::abort();
    if (Entries(fx.run.gAppPath) != std::set<std::string>{"In", "temp"}) std::abort();
    if (Entries(fx.run.gInDir) != std::set<std::string>{"1.TXT"}) std::abort();
    for (auto& e : std::filesystem::directory_iterator(fx.run.gTempDir)) {
        if (!e.is_regular_file()) std::abort();
        std::filesystem::remove(e.path());
    }
    ConvertUnderBudget(fx, data, size);
    return 0;
}
