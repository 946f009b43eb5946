#include <termios.h>
#include <unistd.h>

#include <istream>
#include <ostream>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "platform/linux/printing/SystemPrinters.h"

namespace companion {
namespace {

using platform::Lower;
using platform::Trim;

// Asks one question per line of input. At the end of the input every further
// question takes its default, so a script may stop after the answers it cares
// about.
class Asker {
  public:
    explicit Asker(Io& io) : io_(io) {}

    std::string Ask(const std::string& question, const std::string& def, bool secret = false,
                    const std::string& shownDefault = {}) {
        io_.out << question;
        const std::string& show = shownDefault.empty() ? def : shownDefault;
        if (!show.empty()) io_.out << " [" << show << "]";
        io_.out << ": " << std::flush;
        std::string line;
        bool got = false;
        if (!eof_) {
            EchoOff guard(secret && io_.terminal);
            got = static_cast<bool>(std::getline(io_.in, line));
            if (!got) eof_ = true;
        }
        // A person's Enter ends the line on the terminal; for scripted input
        // (and a secret answer, whose Enter is not echoed) end it ourselves.
        if (!io_.terminal || secret || !got) io_.out << "\n";
        line = Trim(line);
        return line.empty() ? def : line;
    }

    bool AtEnd() const { return eof_; }

  private:
    struct EchoOff {
        explicit EchoOff(bool on) {
            if (!on || ::tcgetattr(STDIN_FILENO, &saved) != 0) return;
            termios t = saved;
            t.c_lflag &= ~static_cast<tcflag_t>(ECHO);
            active = ::tcsetattr(STDIN_FILENO, TCSANOW, &t) == 0;
        }
        ~EchoOff() {
            if (active) ::tcsetattr(STDIN_FILENO, TCSANOW, &saved);
        }
        termios saved{};
        bool active = false;
    };

    Io& io_;
    bool eof_ = false;
};

bool PlausibleAddress(const std::string& a) {
    auto at = a.find('@');
    return at != std::string::npos && at > 0 && at + 1 < a.size() &&
           a.find_first_of(" \t<>,") == std::string::npos &&
           a.find('@', at + 1) == std::string::npos;
}

constexpr int kTries = 3;

}  // namespace

int CmdSetup(const platform::Environment& env, Io& io) {
    platform::ProfileStore profile(env.profilePath);
    const std::string text = platform::ReadWholeFile(env.profilePath).value_or("");
    auto current = [&](const char* key, const std::string& def = {}) {
        return platform::ini::Lookup(text, kSection, key).value_or(def);
    };
    Asker ask(io);
    io.out << "VOXA-FAX Print setup. Settings go to " << env.profilePath << "\n"
           << "Press Enter to keep the value in brackets.\n\n";

    // 1. Service address.
    std::string addr;
    for (int i = 0; i < kTries && addr.empty(); ++i) {
        std::string a =
            ask.Ask("Service address (your fax mailbox, user@domain)", current("Voxa_Fax_Addr"));
        if (PlausibleAddress(a))
            addr = a;
        else if (!a.empty())
            io.err << "  \"" << a << "\" is not an address of the form user@domain\n";
        if (ask.AtEnd() && addr.empty()) break;
    }
    if (addr.empty()) {
        io.err << "voxafax setup: a service address is needed; nothing was written\n";
        return 1;
    }

    // 2. Password; never shown.
    const std::string oldPass = current("Password");
    std::string pass =
        ask.Ask("Mailbox password", oldPass, true, oldPass.empty() ? "" : "unchanged");

    // 3. Printer.
    // The program's own listing: the companion offers exactly what voxafax-print
    // will find.
    const std::vector<platform::PrinterInfo> printers =
        platform::MakeSystemPrinters(env.PrintersIni())->Installed();
    const std::string oldPrinter = current("Printer_Type");
    io.out << "\nInstalled printers:\n";
    std::size_t defIndex = 0;
    for (std::size_t i = 0; i < printers.size(); ++i) {
        io.out << "  " << i + 1 << ") " << printers[i].deviceName;
        if (printers[i].isFolder)
            io.out << "  (folder printer: PDF files in " << printers[i].directory << ")";
        io.out << "\n";
        if (printers[i].deviceName == oldPrinter && defIndex == 0) defIndex = i + 1;
    }
    const std::size_t createIndex = printers.size() + 1;
    io.out << "  " << createIndex << ") create a folder printer (PDF files in a folder)\n";
    if (!oldPrinter.empty() && defIndex == 0)
        io.out << "  (the configured printer \"" << oldPrinter << "\" is not installed)\n";
    if (defIndex == 0) defIndex = printers.empty() ? createIndex : 1;

    std::string printerName;
    bool createFolder = false;
    std::string folderDir;
    for (int i = 0; i < kTries; ++i) {
        std::string a = ask.Ask("Printer", std::to_string(defIndex));
        std::size_t pick = 0;
        if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos && a.size() < 6)
            pick = std::stoul(a);
        if (pick >= 1 && pick <= printers.size()) {
            printerName = printers[pick - 1].deviceName;
        } else if (pick == createIndex) {
            createFolder = true;
        } else {
            for (const platform::PrinterInfo& p : printers)
                if (p.deviceName == a)
                    printerName = p.deviceName;  // names match exactly, as the program matches them
            if (printerName.empty()) {
                io.err << "  choose a number from 1 to " << createIndex
                       << " or a printer's exact name\n";
                if (ask.AtEnd()) break;
                continue;
            }
        }
        break;
    }
    if (createFolder) {
        printerName = ask.Ask("Name of the folder printer", "Fax PDF");
        folderDir = ask.Ask("Folder for its PDF files", "~/voxafax-prints");
        if (printerName.find_first_of("[]") != std::string::npos) {
            io.err << "voxafax setup: a printer name cannot hold [ or ]; nothing was written\n";
            return 1;
        }
    }
    if (printerName.empty()) {
        io.err << "voxafax setup: no printer chosen; nothing was written\n";
        return 1;
    }

    // 4, 5. Mail store.
    io.out << "\n";
    std::string store = ask.Ask("Mail-store profile name",
                                current("VoxaFax_Profile", "Windows Messaging Settings"));
    const std::string stores = platform::ReadWholeFile(env.StoresIni()).value_or("");
    std::string oldMaildir = platform::ini::StripComment(
        platform::ini::Lookup(stores, store, "maildir").value_or("~/Maildir"));
    std::string maildir = ask.Ask("Maildir of profile \"" + store + "\"", oldMaildir);
    if (store.find_first_of("[]") != std::string::npos) {
        io.err << "voxafax setup: a profile name cannot hold [ or ]; nothing was written\n";
        return 1;
    }

    // 6, 7. Receipts.
    io.out << "\n";
    std::string oldConfirm = current("Confirm_Receipt", "y");
    std::string confirm;
    for (int i = 0; i < kTries && confirm.empty(); ++i) {
        std::string a =
            Lower(ask.Ask("Send receipts to senders (y/n)", Trim(oldConfirm) == "y" ? "y" : "n"));
        if (a == "y" || a == "yes")
            confirm = "y";
        else if (a == "n" || a == "no")
            confirm = "n";
        else
            io.err << "  answer y or n\n";
        if (ask.AtEnd() && confirm.empty()) confirm = "n";
    }
    std::string smtp = current("User_SMTP_Server");
    if (confirm == "y") {
        std::string a = ask.Ask("SMTP server for receipts (\"-\": chosen automatically)",
                                smtp.empty() ? "-" : smtp);
        smtp = a == "-" ? "" : a;
    }
    // A receipt that could not go out waits in Out/ and is sent again at the
    // start of a later run from this address only: without it, it waits forever.
    std::string returnAddr = current("Normal_EMail_Addr");
    if (confirm == "y") {
        for (int i = 0; i < kTries; ++i) {
            std::string a = ask.Ask("Your e-mail address, sender of receipts sent again later",
                                    returnAddr.empty() ? addr : returnAddr);
            if (PlausibleAddress(a)) {
                returnAddr = a;
                break;
            }
            io.err << "  \"" << a << "\" is not an address of the form user@domain\n";
            if (ask.AtEnd()) break;
        }
        if (!PlausibleAddress(returnAddr)) returnAddr = addr;
    }

    // Everything is known: write it. Each key is written under the profile
    // lock, so a scheduler or voxafax-print writing at the same time keeps
    // its own keys.
    bool ok = true;
    auto put = [&](const char* key, const std::string& value) {
        ok = profile.WriteProfileStringA(kSection, key, value) != 0 && ok;
    };
    put("Voxa_Fax_Addr", addr);
    if (pass != oldPass) put("Password", pass);
    put("Printer_Type", printerName);
    put("VoxaFax_Profile", store);
    put("Confirm_Receipt", confirm);
    if (confirm == "y") {
        put("User_SMTP_Server", smtp);
        put("Normal_EMail_Addr", returnAddr);
    }
    auto writtenMaildir = platform::ini::Lookup(stores, store, "maildir");
    if (!writtenMaildir || platform::ini::StripComment(*writtenMaildir) != maildir)
        ok = platform::ini::WriteKey(env.StoresIni(), store, "maildir", maildir) && ok;
    if (createFolder)
        ok = platform::ini::WriteKey(env.PrintersIni(), printerName, "directory", folderDir) && ok;
    if (!ok) {
        io.err << "voxafax setup: could not write all settings (see above for the files)\n";
        return 1;
    }
    io.out << "\nWrote " << env.profilePath << ", " << env.StoresIni();
    if (createFolder) io.out << ", " << env.PrintersIni();
    io.out << ".\nStart a run with: voxafax run\n";
    return 0;
}

}  // namespace companion
