// The plain-text page printer on arbitrary text and settings, printing to a
// recording printer: it must end, consume the text and count its pages.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/MailStore.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakePrinters.h"
#include "print/TextPrinter.h"

namespace {

struct NoSockets final : platform::SocketFactory {
    std::unique_ptr<platform::Socket> Create(platform::EventLoop&) override { return nullptr; }
};
struct NoStores final : platform::MailStoreProvider {
    platform::Result<std::unique_ptr<platform::MailSession>> CreateSession() override {
        return platform::Status::Error(platform::Fail::NotFound, "none");
    }
};

std::string ProfilePath() {
    char name[] = "/tmp/fuzz-profile-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return name;
}

const char* const kCounts[] = {"110", "80", "0", "1", "-7", "3", "x", "2147483647", "40.5", ""};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 2) return 0;
    static const std::string profilePath = ProfilePath();
    // The first two bytes choose the settings; the rest is the text.
    std::string ini = "[VOXA-FAX]\nchrs_per_line=" + std::string(kCounts[data[0] % 10]) +
                      "\nlines_per_page=" + kCounts[data[1] % 10] + "\nfont_size=9\n";
    if (std::FILE* f = std::fopen(profilePath.c_str(), "wb")) {
        std::fwrite(ini.data(), 1, ini.size(), f);
        std::fclose(f);
    }
    platform::Environment env;
    platform::Options options;
    options.textPages = (data[0] & 0x80) != 0;
    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    platform::ProfileStore profile(profilePath);
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    platform::FakeImaging imaging(printers);
    NoSockets sockets;
    NoStores stores;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log{platform::LogLevel::Debug, nullptr};  // problems kept, nothing printed
    config::Context ctx{env,     options, loop,   profile, dialogs, printers,
                        imaging, sockets, stores, cfg,     run,     log};

    std::string text(reinterpret_cast<const char*>(data) + 2, size - 2);
    std::int32_t pageNo = 0;
    const bool ok =
        print::TextOnLocalPrinter(ctx, text, (data[1] & 0x80) != 0, "s", "r", "f", pageNo);
    if (!ok || pageNo < 2 || print::HasPrintableText(text)) {
        std::fprintf(stderr, "ok=%d pageNo=%d left=%zu\n", ok, pageNo, text.size());
        std::abort();
    }
    return 0;
}
