// Walks an inbox holding one message built from the input: a flags byte, then
// NUL-separated header block, text, and pairs of attachment name and content.
// Checks that whatever the message says, files are only written under their
// numbered names inside the temp folder (besides the walk's own progress file
// and the receipts ledger), and a message is counted at most once.
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <regex>
#include <string>
#include <vector>

#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "print/PrintForm.h"
#include "tests/support/RunContext.h"
#include "walk/InboxWalk.h"
#include "walk/Session.h"

namespace {

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
    testsupport::RunContext c(testsupport::RunOptions().Printing(testsupport::MagicPrinting));
    const std::string& dir = c.Home();
    c.env.tick = platform::Millis(1);
    c.options.textPages = flags & 0x40;
    auto& cfg = c.cfg;
    auto& run = c.run;
    auto& store = c.store;
    auto& ctx = c.ctx;
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

    print::FrmVFPrint form(ctx.imaging, ctx.loop, ctx.cfg.gprinterName);
    net::FrmMail frmMail(
        net::NetServices{ctx.loop, ctx.sockets, ctx.env, ctx.options, ctx.cfg, ctx.log});
    mailout::Mailer mailer(mailout::ServicesOf(ctx), frmMail);
    walk::SessionState session;
    if (!walk::SessionLogIn(ctx.store, session, cfg.gVoxaFaxProfile)) std::abort();
    if (!walk::OpenStoreAndFolders(session, false)) std::abort();
    walk::WalkInbox(ctx, session, form, mailer);

    if (run.gVFPrinted + run.gVFUnprintable + run.gRegPrinted + run.gRegUnprintable > 1)
        std::abort();
    static const std::regex allowed(R"(\d{4,}\.[A-Z0-9]+|vcard\.txt|temp\.tif)");
    for (const auto& e : std::filesystem::recursive_directory_iterator(dir)) {
        const std::string rel = std::filesystem::relative(e.path(), dir).string();
        if (rel.rfind("temp/", 0) == 0) {
            if (!std::regex_match(rel.substr(5), allowed)) std::abort();
        } else if (rel != "temp" && rel != "In" && rel != "Out" && rel != "MDNs" &&
                   rel.rfind("Out/", 0) != 0 && rel.rfind("MDNs/", 0) != 0 &&
                   rel.rfind("account.ini", 0) != 0 && rel.rfind("receipts.ledger", 0) != 0 &&
                   rel.rfind("voxafax.ini", 0) != 0 && rel != "printing") {
            std::abort();
        }
    }
    return 0;
}
