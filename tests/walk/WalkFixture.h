#pragma once
// A run around the inbox walk for tests: the in-memory store with its filing
// folders open, an imaging component that judges files by their first bytes,
// fake printers, and a mailer whose sockets never connect (so that every
// receipt stays in Out/ where a test can read it).
#include <algorithm>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "mailout/Mailer.h"
#include "net/FrmMail.h"
#include "print/PrintForm.h"
#include "tests/support/RunContext.h"
#include "walk/InboxWalk.h"
#include "walk/Session.h"

namespace walktest {

inline const char* kSubscriber = "4165551234@voxafax.example";
using testsupport::kProfile;
using Msg = platform::FakeMessageData;

// An attachment whose Name and Source are both the file name, as for mail
// that an outside program delivered.
inline Msg& Attach(Msg& m, const std::string& fileName, std::string content) {
    return m.Attach(fileName, fileName, std::move(content));
}
inline std::string Tiff(const std::string& tag) {
    return "II*\0 " + tag;
}

// A store-delivered message keeps its internet header among its fields.
inline void Header(Msg& m, const std::string& extra = "") {
    m.header =
        "Return-Path: <sender@example.org>\r\nFrom: Sender <sender@example.org>\r\n"
        "Subject: " +
        m.subject +
        "\r\nDate: Tue, 5 May 2026 19:40:00 +0000\r\n"
        "Message-Id: <fax-1@example.org>\r\n" +
        extra + "\r\n";
}

inline bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Everything a walk needs, with the VOXA-FAX filing folders in place.
struct WalkRun : testsupport::RunContext {
    platform::FakePrinters& printers = fakePrinters;
    testsupport::MagicImaging& imaging = static_cast<testsupport::MagicImaging&>(*ownImaging);
    walk::SessionState session;
    std::unique_ptr<print::FrmVFPrint> form;
    std::unique_ptr<net::FrmMail> frmMail;
    std::unique_ptr<mailout::Mailer> mailer;

    WalkRun() : RunContext(testsupport::RunOptions().Printing(testsupport::MagicPrinting)) {
        env.tick = platform::Millis(1);
        options.textPages = true;
        cfg.gVoxaFaxAddr = kSubscriber;
        cfg.gMemberStatus = "1";
        cfg.gTimoutMinutes = 1;
        cfg.gPrintFileTypes = {"awd", "pcx",  "dcx", "jpg",  "jpeg", "bmp",
                               "xif", "xiff", "tif", "tiff", "txt"};
        cfg.gPrintFileTypeCount = 11;
        cfg.gprinterName = "Fake Printer";
        form = std::make_unique<print::FrmVFPrint>(ctx.imaging, ctx.loop, cfg.gprinterName);
        frmMail = std::make_unique<net::FrmMail>(
            net::NetServices{ctx.loop, ctx.sockets, ctx.env, ctx.options, ctx.cfg, ctx.log});
        mailer = std::make_unique<mailout::Mailer>(mailout::ServicesOf(ctx), *frmMail);

        cfg.gVoxaFaxProfile = kProfile;
        store.AddProfile(kProfile);
        if (!walk::SessionLogIn(store, session, kProfile)) throw std::runtime_error("logon");
        if (!walk::OpenStoreAndFolders(session, false)) throw std::runtime_error("folders");
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

    void Walk() { walk::WalkInbox(ctx, session, *form, *mailer); }

    // The receipt files left in Out/, oldest first, as text.
    std::vector<std::string> Receipts() {
        std::vector<std::string> out;
        for (auto& n : testsupport::FilesIn(dir / "Out")) out.push_back(testsupport::ReadFile(n));
        return out;
    }
    std::string AllText() {
        std::string all;
        for (auto& l : printers.AllLines()) all += l + "\n";
        return all;
    }
};

}  // namespace walktest
