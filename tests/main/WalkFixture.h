#pragma once
// A run around the inbox walk for tests: the in-memory store with its filing
// folders open, an imaging component that judges files by their first bytes,
// fake printers, and a mailer whose sockets never connect (so that every
// receipt stays in Out/ where a test can read it).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <memory>
#include <stdexcept>
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
#include "platform/MailStore.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/DeadSocket.h"
#include "platform/fake/FakeDialogs.h"
#include "platform/fake/FakeMailStore.h"
#include "platform/fake/FakePrinters.h"
#include "print/PrintForm.h"
#include "tests/support/TempDir.h"

namespace walktest {

using platform::Fail;
using platform::Result;
using platform::Status;

// Files whose content begins with "II*" are images of one page ("PAGES=n"
// anywhere in the first bytes sets another count); anything else is not.
// Printing records the file's content and goes through the printers so that
// their failures come through.
class MagicImaging final : public platform::Imaging {
  public:
    explicit MagicImaging(platform::Printers& p) : printers(p) {}
    platform::Printers& printers;
    std::vector<std::string> printedContents;
    int failAfter = -1;  // prints that succeed before the printer goes away

    static std::string Head(const std::string& path) {
        std::ifstream in(path, std::ios::binary);
        std::string buf(256, '\0');
        in.read(buf.data(), 256);
        buf.resize(static_cast<std::size_t>(in.gcount()));
        return buf;
    }
    // "BOMB" and "LONG" in the first bytes stand for the imaging limits.
    Result<platform::ImageInfo> Open(const std::string& path) override {
        if (!std::filesystem::exists(path))
            return Status::Error(Fail::NotFound, "File not found: " + path);
        std::string head = Head(path);
        if (head.rfind("II*", 0) != 0)
            return Status::Error(Fail::Format, "Not a readable image: " + path);
        if (head.find("BOMB") != std::string::npos)
            return Status::Error(Fail::Format,
                                 "Image too large: " + path + " (7000 x 7000 pixels)");
        if (head.find("LONG") != std::string::npos)
            return Status::Error(Fail::Format, "Too many pages: " + path + " (more than 300)");
        platform::ImageInfo info;
        info.pages = 1;
        auto p = head.find("PAGES=");
        if (p != std::string::npos) info.pages = std::atoi(head.c_str() + p + 6);
        return info;
    }
    Status Print(const std::string& path, const std::string& printerName) override {
        auto info = Open(path);
        if (!info) return info.status();
        if (failAfter >= 0 && static_cast<int>(printedContents.size()) >= failAfter)
            return Status::Error(Fail::Rejected, "Printer Error : the printer has gone away");
        Status st = printers.PrintDocument(printerName, path, path, info->pages);
        if (st) printedContents.push_back(Head(path));
        return st;
    }
};

inline const char* kSubscriber = "4165551234@voxafax.example";
inline const char* kProfile = "Windows Messaging Settings";
using Msg = platform::FakeMessageData;

// An attachment whose Name and Source are both the file name, as for mail
// that an outside program delivered.
inline Msg& Attach(Msg& m, const std::string& fileName, std::string content) {
    return m.Attach(fileName, fileName, std::move(content));
}
inline std::string Tiff(const std::string& tag) {
    return "II*\0 " + tag;
}

// Everything a walk needs, with the VOXA-FAX filing folders in place.
struct WalkRun {
    testsupport::TempDir dir;
    platform::Environment env;
    platform::Options options;
    platform::ManualClock clock;
    platform::EventLoop loop{clock};
    platform::ProfileStore profile{dir / "voxafax.ini"};
    platform::FakeDialogs dialogs;
    platform::FakePrinters printers;
    MagicImaging imaging{printers};
    platform::DeadSockets sockets;
    platform::FakeMailStore store;
    config::NodeConfig cfg;
    config::RunGlobals run;
    std::vector<std::string> logLines;  // "E|line", "W|line", "I|line", "D|line"
    platform::Log log{platform::LogLevel::Debug,
                      [this](platform::LogLevel level, std::string_view line) {
                          const char* tag = level == platform::LogLevel::Error     ? "E|"
                                            : level == platform::LogLevel::Warning ? "W|"
                                            : level == platform::LogLevel::Info    ? "I|"
                                                                                   : "D|";
                          logLines.push_back(tag + std::string(line));
                      }};
    config::Context ctx{env,     options, loop,  profile, dialogs, printers,
                        imaging, sockets, store, cfg,     run,     log};
    vfmain::SessionState session;
    std::unique_ptr<print::FrmVFPrint> form;
    std::unique_ptr<net::FrmMail> frmMail;
    std::unique_ptr<mailout::Mailer> mailer;

    WalkRun() {
        env.programFolder = dir.path();
        env.profilePath = dir / "voxafax.ini";
        env.configDir = dir.path();
        env.tick = platform::Millis(1);
        options.textPages = true;
        run.Init(dir.path());
        for (const char* f : {"temp", "In", "Out", "MDNs"})
            std::filesystem::create_directories(dir / f);
        cfg.gVoxaFaxAddr = kSubscriber;
        cfg.gMemberStatus = "1";
        cfg.gTimoutMinutes = 1;
        cfg.gPrintFileTypes = {"awd", "pcx",  "dcx", "jpg",  "jpeg", "bmp",
                               "xif", "xiff", "tif", "tiff", "txt"};
        cfg.gPrintFileTypeCount = 11;
        cfg.gprinterName = "Fake Printer";
        form = std::make_unique<print::FrmVFPrint>(ctx);
        frmMail = std::make_unique<net::FrmMail>(ctx);
        mailer = std::make_unique<mailout::Mailer>(ctx, *frmMail);

        cfg.gVoxaFaxProfile = kProfile;
        store.AddProfile(kProfile);
        if (!vfmain::SessionLogIn(ctx, session, kProfile)) throw std::runtime_error("logon");
        session.gobjInFolder = *session.gblobjSession->Inbox();
        if (!vfmain::OpenStoreAndFolders(ctx, session)) throw std::runtime_error("folders");
    }

    // A message in the inbox addressed to `to`.
    platform::FakeMessageData& Add(const std::string& subject, const std::string& to) {
        return store.NewMessage(store.Inbox(kProfile))
            .Subject(subject)
            .To(to)
            .From("sender@example.org")
            .Received("12/05/2026 07:49:56 PM")
            .Sent("12/05/2026 07:40:00 PM");
    }

    // Subjects of the messages in a folder ("Inbox" or a path such as
    // "VOXA-FAXes/Printed"), in folder order.
    std::vector<std::string> Subjects(const std::string& path) {
        platform::FakeFolderData* f =
            path == "Inbox" ? &store.Inbox(kProfile) : store.Folder(kProfile, path);
        std::vector<std::string> out;
        if (f)
            for (auto& m : f->messages) out.push_back(m->subject);
        return out;
    }

    void Walk() { vfmain::WalkInbox(ctx, session, *form, *mailer); }

    // The receipt files left in Out/, oldest first, as text.
    std::vector<std::string> Receipts() {
        std::vector<std::string> names;
        for (auto& e : std::filesystem::directory_iterator(dir / "Out")) names.push_back(e.path());
        std::sort(names.begin(), names.end());
        std::vector<std::string> out;
        for (auto& n : names) out.push_back(testsupport::ReadFile(n));
        return out;
    }
    // The log lines with this tag ("I|") that contain `text`.
    int Logged(const std::string& tagAndText) const {
        int n = 0;
        for (const auto& l : logLines)
            n += l.rfind(tagAndText.substr(0, 2), 0) == 0 &&
                 l.find(tagAndText.substr(2)) != std::string::npos;
        return n;
    }
    std::string AllText() {
        std::string all;
        for (auto& l : printers.AllLines()) all += l + "\n";
        return all;
    }
};

}  // namespace walktest
