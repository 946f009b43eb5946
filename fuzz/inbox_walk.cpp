// Walks an inbox holding one message built from the input: a flags byte, then
// NUL-separated header block, text, and pairs of attachment name and content.
// Checks that whatever the message says, files are only written under their
// numbered names inside the temp folder (and the walk's own progress file),
// and a message is counted at most once.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <regex>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/Mailer.h"
#include "main/InboxWalk.h"
#include "main/Session.h"
#include "net/FrmMail.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/DeadSocket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"
#include "print/PrintForm.h"

namespace {

// Files beginning with "II*" are readable one-page images.
class MagicImaging final : public platform::Imaging {
  public:
    explicit MagicImaging(platform::Printers& p) : printers_(p) {}
    platform::Result<platform::ImageInfo> Open(const std::string& path) override {
        std::FILE* f = std::fopen(path.c_str(), "rb");
        if (!f) return platform::Status::Error(platform::Fail::NotFound, "File not found: " + path);
        char head[3] = {};
        const std::size_t n = std::fread(head, 1, 3, f);
        std::fclose(f);
        if (n != 3 || head[0] != 'I' || head[1] != 'I' || head[2] != '*')
            return platform::Status::Error(platform::Fail::Format, "Not a readable image: " + path);
        platform::ImageInfo info;
        info.pages = 1;
        return info;
    }
    platform::Status Print(const std::string& path, const std::string& printerName) override {
        auto info = Open(path);
        if (!info) return info.status();
        return printers_.PrintDocument(printerName, path, path, 1);
    }

  private:
    platform::Printers& printers_;
};

std::string Folder() {
    static std::string dir = [] {
        std::string t = (std::filesystem::temp_directory_path() / "vffuzzwalk.XXXXXX").string();
        if (!::mkdtemp(t.data())) std::abort();
        for (const char* f : {"temp", "In", "Out", "MDNs"})
            std::filesystem::create_directories(t + "/" + f);
        return t;
    }();
    return dir;
}

std::vector<std::string> Split(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> parts(1);
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == 0)
            parts.emplace_back();
        else
            parts.back() += static_cast<char>(data[i]);
    }
    return parts;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size < 1) return 0;
    const std::uint8_t flags = data[0];
    std::vector<std::string> parts = Split(data + 1, size - 1);
    const std::string dir = Folder();

    platform::Environment env;
    env.programFolder = dir;
    env.profilePath = dir + "/voxafax.ini";
    env.configDir = dir;
    env.tick = platform::Millis(1);
    platform::Options options;
    options.textPages = flags & 0x40;
    platform::ManualClock clock;
    platform::EventLoop loop(clock);
    platform::ProfileStore profile(env.profilePath);
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    MagicImaging imaging(printers);
    platform::DeadSockets sockets;
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::Log log{platform::LogLevel::Debug, nullptr};  // problems kept, nothing printed
    config::Context ctx{env,     options, loop,  profile, dialogs, printers,
                        imaging, sockets, store, cfg,     run,     log};
    run.Init(dir);
    cfg.gVoxaFaxAddr = "4165551234@voxafax.example";
    cfg.gMemberStatus = (flags & 1) ? "1" : "";
    cfg.gflgPrintSimpleHeader = flags & 2;
    cfg.gflgPrintFullHeader = flags & 4;
    cfg.gflgConfirmReceipt = flags & 8;
    cfg.gflgPrintErrorInfo = flags & 0x10;
    cfg.gTimoutMinutes = 1;
    cfg.gPrintFileTypes = {"awd", "pcx",  "dcx", "jpg",  "jpeg", "bmp",
                           "xif", "xiff", "tif", "tiff", "txt"};
    cfg.gPrintFileTypeCount = 11;
    cfg.gprinterName = "Fake Printer";
    cfg.gVoxaFaxProfile = "Windows Messaging Settings";

    store.AddProfile(cfg.gVoxaFaxProfile);
    auto& msg = store.NewMessage(store.Inbox(cfg.gVoxaFaxProfile));
    msg.Subject("Fuzz").To(cfg.gVoxaFaxAddr).From("sender@localhost");
    if (flags & 0x20) msg.Type("IPM.Note.Fax");
    const bool popSaved = flags & 0x80;
    if (popSaved)
        msg.Text("+OK 99 octets\r\n" + parts[0] + "\r\n\r\n" + (parts.size() > 1 ? parts[1] : ""));
    else
        msg.Header(parts[0]).Text(parts.size() > 1 ? parts[1] : "");
    for (std::size_t i = 2; i + 1 < parts.size() && i < 40; i += 2) {
        msg.Attach(parts[i], parts[i], parts[i + 1]);
    }

    print::FrmVFPrint form(ctx);
    net::FrmMail frmMail(ctx);
    mailout::Mailer mailer(ctx, frmMail);
    vfmain::SessionState session;
    if (!vfmain::SessionLogIn(ctx, session, cfg.gVoxaFaxProfile)) std::abort();
    auto inbox = session.gblobjSession->Inbox();
    if (!inbox) std::abort();
    session.gobjInFolder = *inbox;
    if (!vfmain::OpenStoreAndFolders(ctx, session)) std::abort();
    vfmain::WalkInbox(ctx, session, form, mailer);

    if (run.gVFPrinted + run.gVFUnprintable + run.gRegPrinted + run.gRegUnprintable > 1)
        std::abort();
    static const std::regex allowed(R"(\d{4,}\.[A-Z0-9]+|vcard\.txt|temp\.tif)");
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string rel = std::filesystem::relative(e.path(), dir).string();
        if (rel.rfind("temp/", 0) == 0) {
            if (!std::regex_match(rel.substr(5), allowed)) std::abort();
        } else if (rel != "temp" && rel != "In" && rel != "Out" && rel != "MDNs" &&
                   rel.rfind("Out/", 0) != 0 && rel.rfind("MDNs/", 0) != 0 &&
                   rel != "account.ini" && rel.rfind("account.ini", 0) != 0 &&
                   rel.rfind("voxafax.ini", 0) != 0 && rel != "printing") {
            std::abort();
        }
    }
    // Each input is a fresh message: the progress of this one must not make
    // the next (which may get the same ID) look begun.
    std::error_code ec;
    std::filesystem::remove(dir + "/printing", ec);
    for (const auto& e : std::filesystem::directory_iterator(dir + "/Out"))
        std::filesystem::remove(e.path(), ec);
    return 0;
}
