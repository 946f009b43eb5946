#pragma once
// A run around the inbox walk for tests: an in-memory store whose messages
// are built in a line or two, an imaging component that judges files by their
// first bytes, fake printers, and a mailer whose sockets never connect (so
// that every receipt stays in Out/ where a test can read it).
#include <algorithm>
#include <filesystem>
#include <fstream>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/FrmMail.h"
#include "mailout/Mailer.h"
#include "main/InboxWalk.h"
#include "main/Session.h"
#include "platform/Dialogs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/MailStore.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/fake/FakePrinters.h"
#include "print/PrintForm.h"
#include "tests/support/TempDir.h"

namespace walktest {

using platform::Fail;
using platform::Result;
using platform::Status;

inline Status NotFound() {
    return Status::Error(Fail::NotFound, "no such item");
}

// Attachment content is either held bytes or a file on disk, copied by
// WriteToFile without passing through memory.
class TestAttachment final : public platform::MailAttachment {
  public:
    std::string name, source, bytes, contentFile;
    bool failWrite = false;

    Result<std::string> Name() override { return name; }
    Result<std::string> Source() override { return source; }
    Status WriteToFile(const std::string& path) override {
        if (failWrite) return Status::Error(Fail::Io, "cannot write");
        std::error_code ec;
        if (!contentFile.empty()) {
            std::filesystem::copy_file(contentFile, path,
                                       std::filesystem::copy_options::overwrite_existing, ec);
            return ec ? Status::Error(Fail::Io, ec.message()) : Status::Ok();
        }
        std::ofstream out(path, std::ios::binary | std::ios::trunc);
        if (!out) return Status::Error(Fail::Io, "cannot open " + path);
        out << bytes;
        return Status::Ok();
    }
    Status SetType(int) override { return {}; }
    Status SetPosition(int) override { return {}; }
    Status SetName(const std::string& n) override { return name = n, Status::Ok(); }
    Status SetSource(const std::string& s) override { return source = s, Status::Ok(); }
    Status ReadFromFile(const std::string&) override {
        return Status::Error(Fail::Internal, "unused");
    }
};

class TestRecipient final : public platform::MailRecipient {
  public:
    explicit TestRecipient(std::string n) : name(std::move(n)) {}
    std::string name;
    Result<std::string> Name() override { return name; }
    Status SetAddress(const std::string&) override { return {}; }
    Status SetType(int) override { return {}; }
};

class TestStore;

class TestMessage final : public platform::MailMessage {
  public:
    TestStore* store = nullptr;
    std::string id, type = "IPM.Note", subject, text, sender,
                    timeReceived = "12/05/2026 07:49:56 PM", timeSent = "12/05/2026 07:40:00 PM";
    bool unread = true;
    std::vector<std::shared_ptr<TestRecipient>> recipients;
    std::vector<std::shared_ptr<TestAttachment>> attachments;
    std::map<int, std::string> fields;

    Result<std::string> ID() override { return id; }
    Result<std::string> Type() override { return type; }
    Result<std::string> Subject() override { return subject; }
    Status SetSubject(const std::string& s) override { return subject = s, Status::Ok(); }
    Result<std::string> Text() override { return text; }
    Status SetText(const std::string& t) override { return text = t, Status::Ok(); }
    Result<std::string> SenderAddress() override { return sender; }
    Status SetSenderName(const std::string&) override { return {}; }
    Result<std::string> TimeReceived() override { return timeReceived; }
    Result<std::string> TimeSent() override { return timeSent; }
    Status SetTimeReceived(std::int64_t) override { return {}; }
    Status SetTimeSent(std::int64_t) override { return {}; }
    Status SetUnread(bool u) override { return unread = u, Status::Ok(); }
    Result<int> RecipientCount() override { return static_cast<int>(recipients.size()); }
    Result<std::shared_ptr<platform::MailRecipient>> Recipient(int i) override {
        if (i < 1 || i > static_cast<int>(recipients.size())) return NotFound();
        return std::shared_ptr<platform::MailRecipient>(recipients[i - 1]);
    }
    Result<std::shared_ptr<platform::MailRecipient>> AddRecipient() override { return NotFound(); }
    Result<int> AttachmentCount() override { return static_cast<int>(attachments.size()); }
    Result<std::shared_ptr<platform::MailAttachment>> Attachment(int i) override {
        if (i < 1 || i > static_cast<int>(attachments.size())) return NotFound();
        return std::shared_ptr<platform::MailAttachment>(attachments[i - 1]);
    }
    Result<std::shared_ptr<platform::MailAttachment>> AddAttachment() override {
        return NotFound();
    }
    Result<std::string> Field(int i) override {
        auto it = fields.find(i);
        if (it == fields.end()) return NotFound();
        return it->second;
    }
    Status Update() override { return {}; }
    Status MoveTo(const std::string& folderId) override;

    TestAttachment& Attach(const std::string& fileName, const std::string& content) {
        auto a = std::make_shared<TestAttachment>();
        a->name = a->source = fileName;
        a->bytes = content;
        attachments.push_back(a);
        return *a;
    }
};

class TestFolder final : public platform::MailFolder {
  public:
    TestFolder(std::string n, std::string i) : name(std::move(n)), id(std::move(i)) {}
    std::string name, id;
    std::vector<std::shared_ptr<TestFolder>> folders;
    std::vector<std::shared_ptr<TestMessage>> messages;

    Result<std::string> Name() override { return name; }
    Result<std::string> ID() override { return id; }
    Result<int> FolderCount() override { return static_cast<int>(folders.size()); }
    Result<std::shared_ptr<platform::MailFolder>> Folder(int i) override {
        if (i < 1 || i > static_cast<int>(folders.size())) return NotFound();
        return std::shared_ptr<platform::MailFolder>(folders[i - 1]);
    }
    Result<std::shared_ptr<platform::MailFolder>> AddFolder(const std::string& n) override {
        folders.push_back(std::make_shared<TestFolder>(n, id + "/" + n));
        return std::shared_ptr<platform::MailFolder>(folders.back());
    }
    Result<int> MessageCount() override { return static_cast<int>(messages.size()); }
    Result<std::shared_ptr<platform::MailMessage>> Message(int i) override {
        if (i < 1 || i > static_cast<int>(messages.size())) return NotFound();
        return std::shared_ptr<platform::MailMessage>(messages[i - 1]);
    }
    Result<std::shared_ptr<platform::MailMessage>> AddMessage() override { return NotFound(); }

    std::shared_ptr<TestFolder> Sub(const std::string& path) {
        std::shared_ptr<TestFolder> f;
        for (auto& c : folders)
            if (c->name == path) f = c;
        return f;
    }
};

// Root folder "" with the inbox as "Inbox"; IDs are folder paths.
class TestStore {
  public:
    std::shared_ptr<TestFolder> root = std::make_shared<TestFolder>("Root", "root");
    std::shared_ptr<TestFolder> inbox;
    int nextId = 1;

    TestStore() {
        root->folders.push_back(std::make_shared<TestFolder>("Inbox", "root/Inbox"));
        inbox = root->folders.back();
    }

    std::shared_ptr<TestFolder> FindById(const std::shared_ptr<TestFolder>& f,
                                         const std::string& id) {
        if (f->id == id) return f;
        for (auto& c : f->folders)
            if (auto r = FindById(c, id)) return r;
        return nullptr;
    }
    std::shared_ptr<TestFolder> Holder(const std::shared_ptr<TestFolder>& f,
                                       const std::string& msgId) {
        for (auto& m : f->messages)
            if (m->id == msgId) return f;
        for (auto& c : f->folders)
            if (auto r = Holder(c, msgId)) return r;
        return nullptr;
    }
    std::shared_ptr<TestMessage> Find(const std::string& msgId) {
        auto h = Holder(root, msgId);
        if (!h) return nullptr;
        for (auto& m : h->messages)
            if (m->id == msgId) return m;
        return nullptr;
    }

    // Names of the messages' subjects in the folder with this path ("a/b").
    std::vector<std::string> Subjects(const std::string& path) {
        auto f = FindById(root, "root/" + path);
        std::vector<std::string> out;
        if (f)
            for (auto& m : f->messages) out.push_back(m->subject);
        return out;
    }

    // A message in the inbox addressed to `to`.
    TestMessage& Add(const std::string& subject, const std::string& to) {
        auto m = std::make_shared<TestMessage>();
        m->store = this;
        m->id = "m" + std::to_string(nextId++);
        m->subject = subject;
        m->sender = "sender@example.org";
        m->recipients.push_back(std::make_shared<TestRecipient>(to));
        inbox->messages.push_back(m);
        return *m;
    }
};

inline Status TestMessage::MoveTo(const std::string& folderId) {
    auto target = store->FindById(store->root, folderId);
    auto from = store->Holder(store->root, id);
    if (!target || !from) return NotFound();
    auto it = std::find_if(from->messages.begin(), from->messages.end(),
                           [&](auto& m) { return m->id == id; });
    auto self = *it;
    from->messages.erase(it);
    target->messages.push_back(self);
    return {};
}

class TestSession final : public platform::MailSession {
  public:
    explicit TestSession(TestStore& s) : store(s) {}
    TestStore& store;
    Status Logon(const std::string&, bool) override { return {}; }
    Result<std::string> Name() override { return std::string("Test"); }
    Result<std::shared_ptr<platform::MailFolder>> Inbox() override {
        return std::shared_ptr<platform::MailFolder>(store.inbox);
    }
    Result<int> InfoStoreCount() override { return 0; }
    Result<std::shared_ptr<platform::MailInfoStore>> InfoStore(int) override { return NotFound(); }
    Status DeliverNow() override { return {}; }
    Result<std::shared_ptr<platform::MailMessage>> GetMessage(const std::string& id) override {
        auto m = store.Find(id);
        if (!m) return NotFound();
        return std::shared_ptr<platform::MailMessage>(m);
    }
    Status Logoff() override { return {}; }
};

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
    Result<platform::ImageInfo> Open(const std::string& path) override {
        if (!std::filesystem::exists(path))
            return Status::Error(Fail::NotFound, "File not found: " + path);
        std::string head = Head(path);
        if (head.rfind("II*", 0) != 0)
            return Status::Error(Fail::Format, "Not a readable image: " + path);
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

// Sockets that never connect: receipts stay queued in Out/.
class DeadSocket final : public platform::Socket {
  public:
    void SetHandlers(platform::SocketHandlers) override {}
    void SetTls(platform::TlsSettings) override {}
    std::string SetHostName(const std::string&) override { return {}; }
    void SetHostAddress(const std::string&) override {}
    std::string HostAddress() const override { return {}; }
    int Connect(int) override { return 10061; }
    void Disconnect() override {}
    bool Connected() const override { return false; }
    bool IsWritable() const override { return false; }
    bool IsReadable() const override { return false; }
    int RecvNext() const override { return 0; }
    long Write(std::string_view) override { return -1; }
    std::string Receive(std::size_t) override { return {}; }
};
class DeadSockets final : public platform::SocketFactory {
  public:
    std::unique_ptr<platform::Socket> Create(platform::EventLoop&) override {
        return std::make_unique<DeadSocket>();
    }
};

class NoStores final : public platform::MailStoreProvider {
  public:
    Result<std::unique_ptr<platform::MailSession>> CreateSession() override {
        return Status::Error(Fail::Internal, "unused");
    }
};

inline const char* kSubscriber = "4165551234@voxafax.example";
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
    DeadSockets sockets;
    NoStores stores;
    config::NodeConfig cfg;
    config::RunGlobals run;
    config::Context ctx{env,     options, loop,   profile, dialogs, printers,
                        imaging, sockets, stores, cfg,     run};
    TestStore store;
    vfmain::SessionState session;
    std::unique_ptr<print::FrmVFPrint> form;
    std::unique_ptr<mailout::FrmMail> frmMail;
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
        frmMail = std::make_unique<mailout::FrmMail>(ctx);
        mailer = std::make_unique<mailout::Mailer>(ctx, *frmMail);

        session.gblobjSession = std::make_unique<TestSession>(store);
        session.gobjInFolder = store.inbox;
        session.gobjRootFolder = store.root;
        std::shared_ptr<platform::MailFolder> f, pass;
        session.gDeletedFolderID = vfmain::GetFolderID(ctx, "Deleted Items", store.root, f);
        session.vfPassFolderID = vfmain::GetFolderID(ctx, "VOXA-FAXes", store.root, pass);
        session.vfPrintedID = vfmain::GetFolderID(ctx, "Printed", pass, f);
        session.vfUnprintableID = vfmain::GetFolderID(ctx, "Unprintable", pass, f);
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
    std::string AllText() {
        std::string all;
        for (auto& l : printers.AllLines()) all += l + "\n";
        return all;
    }
};

}  // namespace walktest
