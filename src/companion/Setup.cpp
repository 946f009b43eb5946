#include <sys/stat.h>
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cstdlib>
#include <istream>
#include <optional>
#include <ostream>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "companion/Probe.h"
#include "companion/ServerProbe.h"
#include "config/NodeConfig.h"
#include "config/ProfileKeys.h"
#include "platform/Files.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace companion {
namespace {

using platform::Lower;
using platform::Trim;

// The person ended the input at a terminal (Ctrl-D): stop without saving.
struct InputEnded {};

// Asks one question per line of input. Scripted input that ends early
// gives every further question its default; at a terminal the end of the
// input stops the setup.
class Asker {
  public:
    explicit Asker(Io& io) : io_(io) {}

    std::string Ask(const std::string& question, const std::string& def, bool secret = false,
                    const std::string& shownDefault = {}) {
        // Echo goes off before the question shows, so that nothing typed
        // at once after it is echoed.
        EchoOff guard(secret && io_.terminal);
        io_.out << question;
        const std::string& show = shownDefault.empty() ? def : shownDefault;
        if (!show.empty()) io_.out << " [" << show << "]";
        io_.out << ": " << std::flush;
        std::string line;
        bool got = false;
        if (!eof_) {
            got = static_cast<bool>(std::getline(io_.in, line));
            if (!got) eof_ = true;
        }
        // A person's Enter ends the line on the terminal; for scripted input
        // (and a secret answer, whose Enter is not echoed) end it ourselves.
        if (!io_.terminal || secret || !got) io_.out << "\n";
        if (!got && io_.terminal) throw InputEnded{};
        line = Trim(line);
        return line.empty() ? def : line;
    }

    // y or n, asked again (up to three times) until it is one of them.
    bool YesNo(const std::string& question, bool def) {
        for (int i = 0; i < 3; ++i) {
            std::string a = Lower(Ask(question + " (y/n)", def ? "y" : "n"));
            if (a == "y" || a == "yes") return true;
            if (a == "n" || a == "no") return false;
            io_.err << "  answer y or n\n";
            if (eof_) break;
        }
        return def;
    }

    // A port, or the default.
    int Port(const std::string& question, int def) {
        for (int i = 0; i < 3; ++i) {
            std::string a = Ask(question, std::to_string(def));
            if (a.size() <= 5 && a.find_first_not_of("0123456789") == std::string::npos) {
                int p = std::stoi(a);
                if (p >= 1 && p <= 65535) return p;
            }
            io_.err << "  a port is a number from 1 to 65535\n";
            if (eof_) break;
        }
        return def;
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

bool PlausibleHost(const std::string& h) {
    return !h.empty() && h.find_first_of(" \t/@;") == std::string::npos;
}

constexpr int kTries = 3;
constexpr const char* kStyles[] = {"off", "simple", "full", "both"};

// Everything the setup asks, then saves.
struct Answers {
    std::string addr, pass;
    std::string popHost;  // as answered; written only when it is not the address's domain
    bool popTls = false;
    bool popStartTls = false;  // STLS on the plain port
    int popPort = 110;
    std::string popUser;                // the logon name
    std::string popCaFile, smtpCaFile;  // authorities to trust besides the system's
    std::string printer;
    bool newFolderPrinter = false;
    std::string folderDir;
    bool otherTypes = false;  // Use_Defaults 1: more than TIFF is printed
    bool textPages = true;
    std::string headerStyle = "simple";
    int charsPerLine = 0, linesPerPage = 0;  // text pages that fit the sheet; 0: as they are
    std::string store, maildir;
    bool receipts = true;
    std::string smtp;  // User_SMTP_Server; "" for the service's own servers
    bool smtpTls = false;
    int smtpPort = 25;
    std::string returnAddr;
    // Through the provider's submission server: relay = host[:port], the
    // login over STARTTLS (or TLS on port 465).
    bool relay = false;
    std::string relayHost;
    int relayPort = 587;
    bool smtpStartTls = true;
    std::string smtpUser;
    // The login's password as typed. Not typed: what options.ini names when
    // that is kept, else the mailbox password (the profile's Password).
    std::string smtpPass;
    bool smtpPassTyped = false;  // the password's source changes

    std::string Domain() const { return addr.substr(addr.find('@') + 1); }
    std::string User() const { return addr.substr(0, addr.find('@')); }
};

class Setup {
  public:
    Setup(const platform::Environment& env, const SetupOptions& opts, Io& io, Services& services)
        : env_(env),
          opts_(opts),
          io_(io),
          services_(services),
          ask_(io),
          text_(platform::ReadWholeFile(env.profilePath).value_or("")),
          optionsText_(platform::ReadWholeFile(env.OptionsIni()).value_or("")),
          options_(config::Options::Load(env)) {}

    int Run() {
        io_.out << "VOXA-FAX Print setup. Settings go to " << env_.profilePath
                << " and the files beside it.\nPress Enter to keep the value in brackets; "
                << (io_.terminal ? "Ctrl-D stops without saving.\n\n" : "\n\n");
        if (!AskMailbox()) return kProblem;
        if (!AskPrinter()) return kProblem;
        if (!AskStore()) return kProblem;
        AskReceipts();
        Summary();
        const bool passed = Test();
        const bool save = ask_.YesNo(
            passed ? "\nSave these settings?" : "\nA test failed. Save these settings anyway?",
            passed);
        if (!save) {
            io_.out << "Nothing was saved.\n";
            return kProblem;
        }
        return Save() ? kOk : kProblem;
    }

  private:
    std::string Current(const char* key, const std::string& def = {}) const {
        return platform::ini::Lookup(text_, kSection, key).value_or(def);
    }
    bool HasOption(const char* section, const char* key) const {
        return platform::ini::Lookup(optionsText_, section, key).has_value();
    }

    bool AskMailbox() {
        for (int i = 0; i < kTries && a_.addr.empty(); ++i) {
            std::string a = ask_.Ask("Service address (your fax mailbox, user@domain)",
                                     Trim(Current("Voxa_Fax_Addr"), " "));
            if (PlausibleAddress(a))
                a_.addr = a;
            else if (!a.empty())
                io_.err << "  \"" << a << "\" is not an address of the form user@domain\n";
            if (ask_.AtEnd()) break;
        }
        if (a_.addr.empty()) {
            io_.err << "voxafax setup: a service address is needed; nothing was saved\n";
            return false;
        }
        oldPass_ = Trim(Current("Password"), " ");
        a_.pass = ask_.Ask("Mailbox password", oldPass_, true, oldPass_.empty() ? "" : "unchanged");

        io_.out << "\n";
        const std::string defHost = options_.popHost.empty() ? a_.Domain() : options_.popHost;
        for (int i = 0; i < kTries; ++i) {
            a_.popHost = ask_.Ask("POP3 server", defHost);
            if (PlausibleHost(a_.popHost)) break;
            io_.err << "  \"" << a_.popHost << "\" is not a host name or address\n";
            a_.popHost = defHost;
            if (ask_.AtEnd()) break;
        }
        AskPopSecurity();
        // A port left at the default of the old TLS choice follows the new one.
        const bool popPortSet = HasOption("pop3", "port") || std::getenv("VOXAFAX_POP3_PORT");
        a_.popPort = ask_.Port("POP3 port", popPortSet ? options_.popPort : a_.popTls ? 995 : 110);
        const std::string logon = options_.popUser.empty() ? a_.User() : options_.popUser;
        a_.popUser = ask_.Ask("POP3 logon name", logon);
        a_.popCaFile = options_.popCaFile;
        return true;
    }

    // TLS from the start (POP3S, port 995), STLS on the plain port, or none.
    void AskPopSecurity() {
        const std::string def = options_.popTls        ? "tls"
                                : options_.popStartTls ? "starttls"
                                                       : "none";
        io_.out << "  POP3 security: tls (POP3S, port 995), starttls (STLS on port 110, "
                   "refused if the server does not offer it) or none\n";
        for (int i = 0; i < kTries; ++i) {
            const std::string a = Lower(ask_.Ask("POP3 security", def));
            a_.popTls = a == "tls" || a == "yes" || a == "y";
            a_.popStartTls = a == "starttls" || a == "stls";
            if (a_.popTls || a_.popStartTls || a == "none" || a == "no" || a == "n") return;
            io_.err << "  answer tls, starttls or none\n";
            if (ask_.AtEnd()) break;
        }
        a_.popTls = def == "tls";
        a_.popStartTls = def == "starttls";
    }

    // The program's own listing: what is offered is exactly what
    // voxafax-print will find. The default is the configured printer.
    std::size_t ListPrinters(const std::vector<platform::PrinterInfo>& printers,
                             const std::string& oldPrinter) {
        io_.out << "\nInstalled printers:\n";
        std::size_t defIndex = 0;
        for (std::size_t i = 0; i < printers.size(); ++i) {
            io_.out << "  " << i + 1 << ") " << printers[i].deviceName;
            if (printers[i].isFolder)
                io_.out << "  (folder printer: PDF files in " << printers[i].directory << ")";
            io_.out << "\n";
            if (printers[i].deviceName == oldPrinter && defIndex == 0) defIndex = i + 1;
        }
        const std::size_t createIndex = printers.size() + 1;
        io_.out << "  " << createIndex << ") create a folder printer (PDF files in a folder)\n";
        if (!oldPrinter.empty() && defIndex == 0)
            io_.out << "  (the configured printer \"" << oldPrinter << "\" is not installed)\n";
        if (defIndex == 0) defIndex = printers.empty() ? createIndex : 1;
        return defIndex;
    }

    bool AskPrinter() {
        const std::vector<platform::PrinterInfo> printers = services_.printers.Installed();
        const std::size_t defIndex = ListPrinters(printers, Trim(Current("Printer_Type"), " "));
        const std::size_t createIndex = printers.size() + 1;
        for (int i = 0; i < kTries; ++i) {
            std::string a = ask_.Ask("Printer", std::to_string(defIndex));
            std::size_t pick = 0;
            if (!a.empty() && a.find_first_not_of("0123456789") == std::string::npos &&
                a.size() < 6)
                pick = std::stoul(a);
            if (pick >= 1 && pick <= printers.size()) {
                a_.printer = printers[pick - 1].deviceName;
            } else if (pick == createIndex) {
                a_.newFolderPrinter = true;
            } else {
                for (const platform::PrinterInfo& p : printers)
                    if (p.deviceName == a)
                        a_.printer = p.deviceName;  // exact, as the program matches
                if (a_.printer.empty()) {
                    io_.err << "  choose a number from 1 to " << createIndex
                            << " or a printer's exact name\n";
                    if (ask_.AtEnd()) break;
                    continue;
                }
            }
            break;
        }
        if (a_.newFolderPrinter) {
            a_.printer = ask_.Ask("Name of the folder printer", "Fax PDF");
            a_.folderDir = ask_.Ask("Folder for its PDF files", "~/voxafax-prints");
            if (a_.printer.find_first_of("[]") != std::string::npos) {
                io_.err << "voxafax setup: a printer name cannot hold [ or ]; nothing was saved\n";
                return false;
            }
        }
        if (a_.printer.empty()) {
            io_.err << "voxafax setup: no printer chosen; nothing was saved\n";
            return false;
        }
        AskPaper();
        return true;
    }

    // What goes on paper besides the fax images.
    void AskPaper() {
        // Use_Defaults below 1 (or empty) prints TIFF attachments only.
        io_.out << "  A fax is TIFF images; senders may also attach JPEG, BMP, PCX or DCX images "
                   "and text files (Use_Defaults)\n";
        a_.otherTypes = ask_.YesNo("Print attachments other than TIFF too",
                                   Trim(Current("Use_Defaults"), " ") >= "1");
        if (a_.otherTypes && Lower(Current("Use_Profile")) == "y")
            io_.out << "  Note: Use_Profile is on, so mail then comes through the store's deliver "
                       "command, not POP3\n";
        // Header pages and text attachments go to paper only with text_pages.
        const bool textDefault = HasOption("print", "text_pages") ? options_.textPages : true;
        a_.textPages = ask_.YesNo("Print header pages and text attachments", textDefault);
        if (!a_.textPages) return;
        const bool simple = Lower(Current("Print_Simple_Header")) == "y";
        const bool full = Lower(Current("Print_Full_Header")) == "y";
        const std::string def = simple && full ? "both" : full ? "full" : "simple";
        io_.out << "  Header page: simple (sender, date, pages, the message text), full (the "
                   "mail's header lines too), both, or off (a page only for a message text)\n";
        for (int i = 0; i < kTries; ++i) {
            std::string a = Lower(ask_.Ask("Header page", def));
            bool ok = false;
            for (const char* s : kStyles) ok = ok || a == s;
            if (ok) {
                a_.headerStyle = a;
                break;
            }
            io_.err << "  answer simple, full, both or off\n";
            a_.headerStyle = def;
            if (ask_.AtEnd()) break;
        }
        FitTextPages();
    }

    // Text pages as configured must fit the sheet, a TAB before each line
    // and a page header of two lines included; otherwise the largest page
    // that does is written. The page must fit A4 (the narrower sheet) and
    // Letter (the shorter one, 279.4 mm against 297 mm) at the configured
    // font size but never below 10 points, so that it stays readable on
    // either paper however the printer scales it: 78 characters by 60
    // lines at 10 points.
    void FitTextPages() {
        auto number = [&](const char* key) {
            std::int32_t n = 0;
            if (!config::ToInt32(Current(key, config::FindProfileKey(key)->def), n)) n = 0;
            return n;
        };
        const std::int32_t chars = number("chrs_per_line"), lines = number("lines_per_page");
        double points = std::strtod(Current("font_size", "10").c_str(), nullptr);
        if (!(points >= 10 && points <= 400)) points = 10;
        const platform::TextGrid a4 = services_.printers.SheetGrid(points);
        constexpr double kLetterToA4Height = 279.4 / 297.0;
        constexpr int kHeaderLines = 2;
        const int fitColumns = a4.columns - platform::kTabColumns;
        const int fitLines = static_cast<int>(a4.lines * kLetterToA4Height) - kHeaderLines;
        if (chars <= fitColumns && lines <= fitLines) return;
        a_.charsPerLine = std::max(fitColumns, 1);
        a_.linesPerPage = std::max(fitLines, 1);
        io_.out << "  Text pages of " << chars << " characters by " << lines
                << " lines do not fit A4 and Letter at " << points << " points; they will have "
                << a_.charsPerLine << " by " << a_.linesPerPage
                << " (chrs_per_line, lines_per_page)\n";
    }

    bool AskStore() {
        io_.out << "\n";
        a_.store = ask_.Ask("Mail-store profile name",
                            Current("VoxaFax_Profile", "Windows Messaging Settings"));
        if (services_.storeMaildir)
            if (auto dir = services_.storeMaildir(env_.StoresIni(), a_.store))
                storedMaildir_ = *dir;
        a_.maildir = ask_.Ask("Maildir of profile \"" + a_.store + "\"",
                              storedMaildir_.value_or("~/Maildir"));
        if (a_.store.find_first_of("[]") != std::string::npos) {
            io_.err << "voxafax setup: a profile name cannot hold [ or ]; nothing was saved\n";
            return false;
        }
        return true;
    }

    void AskReceipts() {
        io_.out << "\n";
        a_.receipts =
            ask_.YesNo("Send receipts to senders", Trim(Current("Confirm_Receipt", "y")) == "y");
        a_.relay = ask_.YesNo("Send through your provider's submission server, with a login",
                              !options_.smtpRelayHost.empty());
        if (a_.relay) {
            AskRelay();
        } else {
            AskSmtpServer();
        }
        AskReturnAddress();
    }

    // host[:port] of the provider's submission server.
    bool ParseRelay(const std::string& text) {
        const auto colon = text.rfind(':');
        std::string host = text.substr(0, colon);
        int port = 587;
        if (colon != std::string::npos) {
            const std::string p = text.substr(colon + 1);
            if (p.empty() || p.size() > 5 || p.find_first_not_of("0123456789") != std::string::npos)
                return false;
            port = std::stoi(p);
            if (port < 1 || port > 65535) return false;
        }
        if (!PlausibleHost(host) || host.find(':') != std::string::npos) return false;
        a_.relayHost = host;
        a_.relayPort = port;
        return true;
    }

    void AskRelay() {
        const std::string def =
            options_.smtpRelayHost.empty()
                ? "smtp." + a_.Domain() + ":587"
                : options_.smtpRelayHost + (options_.smtpRelayPort > 0
                                                ? ":" + std::to_string(options_.smtpRelayPort)
                                                : "");
        io_.out << "  Port 587 takes STARTTLS before the login, port 465 TLS from the start\n";
        for (int i = 0; i < kTries; ++i) {
            if (ParseRelay(ask_.Ask("Submission server (host:port)", def))) break;
            io_.err << "  answer a host name or address, and :port if it is not 587\n";
            if (ask_.AtEnd()) (void)ParseRelay(def);
        }
        if (a_.relayHost.empty()) (void)ParseRelay(def);
        a_.smtpTls = options_.smtpTls;  // for the candidate servers, as they were
        a_.smtpPort = options_.smtpPort;
        a_.smtpStartTls =
            a_.relayPort == 465 || ask_.YesNo("STARTTLS before the login", options_.smtpStartTls);
        a_.smtpUser = ask_.Ask("Login at the submission server",
                               options_.smtpUser.empty() ? a_.addr : options_.smtpUser);
        a_.smtpCaFile = options_.smtpCaFile;
        if (!options_.smtpSecret.command.empty()) {
            io_.out << "  The password comes from [smtp] password_command\n";
            return;
        }
        const bool kept = options_.smtpSecret.Set() && a_.smtpUser == options_.smtpUser;
        a_.smtpPass = ask_.Ask("Password of that login", "", true,
                               kept ? "unchanged" : "the mailbox password");
        a_.smtpPassTyped = !a_.smtpPass.empty() || !kept;
    }

    void AskSmtpServer() {
        const std::string oldSmtp = Trim(Current("User_SMTP_Server"), " ");
        std::string a = ask_.Ask(
            "SMTP server for receipts and the test message (\"-\": the "
            "service's own servers)",
            oldSmtp.empty() ? "-" : oldSmtp);
        a_.smtp = a == "-" ? "" : a;
        if (!a_.smtp.empty()) {
            a_.smtpTls = ask_.YesNo("SMTP over TLS (SMTPS)", options_.smtpTls);
            const bool set = HasOption("smtp", "port") || std::getenv("VOXAFAX_SMTP_PORT");
            a_.smtpPort = ask_.Port("SMTP port", set ? options_.smtpPort : a_.smtpTls ? 465 : 25);
        } else {
            a_.smtpTls = options_.smtpTls;
            a_.smtpPort = options_.smtpPort;
        }
    }

    void AskReturnAddress() {
        // A receipt that could not go out waits in Out/ and is sent again at
        // the start of a later run from this address only.
        a_.returnAddr = Trim(Current("Normal_EMail_Addr"), " ");
        if (a_.receipts) {
            for (int i = 0; i < kTries; ++i) {
                std::string r = ask_.Ask("Your e-mail address, sender of receipts sent again later",
                                         a_.returnAddr.empty() ? a_.addr : a_.returnAddr);
                if (PlausibleAddress(r)) {
                    a_.returnAddr = r;
                    break;
                }
                io_.err << "  \"" << r << "\" is not an address of the form user@domain\n";
                if (ask_.AtEnd()) break;
            }
            if (!PlausibleAddress(a_.returnAddr)) a_.returnAddr = a_.addr;
        }
    }

    void Summary() {
        auto row = [&](const char* what, const std::string& value) {
            io_.out << "  " << what << std::string(20 - std::string(what).size(), ' ') << value
                    << "\n";
        };
        auto yn = [](bool b) { return std::string(b ? "yes" : "no"); };
        io_.out << "\nSettings:\n";
        row("service address", a_.addr);
        row("POP3 server", a_.popHost + ":" + std::to_string(a_.popPort) +
                               (a_.popTls        ? ", TLS"
                                : a_.popStartTls ? ", STLS"
                                                 : ", no TLS") +
                               ", logon " + a_.popUser);
        row("printer",
            a_.printer + (a_.newFolderPrinter ? " (new, PDF files in " + a_.folderDir + ")" : ""));
        row("other than TIFF", a_.otherTypes ? "printed (Use_Defaults 1)" : "not printed");
        row("text and headers",
            a_.textPages ? "printed, header page " + a_.headerStyle : "not printed");
        row("mail store", a_.store + ", Maildir " + a_.maildir);
        row("receipts", yn(a_.receipts));
        if (a_.relay)
            row("SMTP server", a_.relayHost + ":" + std::to_string(a_.relayPort) +
                                   (a_.relayPort == 465 ? ", TLS"
                                    : a_.smtpStartTls   ? ", STARTTLS"
                                                        : ", no TLS") +
                                   ", login " + a_.smtpUser);
        else
            row("SMTP server", a_.smtp.empty() ? "the service's own"
                                               : a_.smtp + ":" + std::to_string(a_.smtpPort) +
                                                     (a_.smtpTls ? ", TLS" : ", no TLS"));
        if (a_.receipts) row("receipts sent as", a_.returnAddr);
        if (!a_.popTls && !a_.popStartTls && !IsLoopback(a_.popHost) && !a_.pass.empty())
            io_.out << "  Note: the password goes to " << a_.popHost
                    << " in clear; answer tls or starttls if the server offers it.\n";
    }

    bool Test() {
        io_.out << "\nTesting them"
                << (opts_.offline ? " (offline: the servers are not tried)" : "") << ":\n";
        bool all = true;
        auto show = [&](const Finding& f) {
            io_.out << (f.ok ? "  ok       " : "  FAILED   ") << f.text << "\n" << std::flush;
            all = all && f.ok;
        };
        if (!opts_.offline) {
            io_.out << "  (logging on to the POP3 server: nothing is fetched or deleted)\n"
                    << std::flush;
            show(TryServer("pop3", a_.popCaFile));
            if (a_.relay || !a_.smtp.empty()) show(TryServer("smtp", a_.smtpCaFile));
        }
        if (a_.newFolderPrinter) {
            std::string why = WritableOrCreatable(platform::ExpandHome(a_.folderDir));
            show({why.empty(), "printer \"" + a_.printer + "\": new folder printer, " +
                                   (why.empty() ? "its folder can be written" : why)});
        } else {
            show(TryPrinter(services_.printers, services_.queueProblem, a_.printer));
        }
        show(TryMaildir(a_.store, a_.maildir));
        return all;
    }

    // One server's test. A certificate signed by an authority this system
    // does not trust is named, and the authority's certificate file is
    // asked for ([pop3] or [smtp] ca_file) and tried.
    Finding TryServer(const std::string& side, std::string& caFile) {
        for (int i = 0;; ++i) {
            const ServerSettings s = Answered();
            const ServerFinding f =
                side == "pop3" ? ProbePop3(s, services_.sockets) : ProbeSmtp(s, services_.sockets);
            for (const std::string& w : f.warnings) io_.out << "  note     " << w << "\n";
            if (!f.untrustedCertificate || i == kTries) return f.finding;
            io_.out << "  FAILED   " << f.finding.text << "\n"
                    << "  The server's certificate is signed by an authority this system does "
                       "not trust. If your provider gave you that authority's certificate "
                       "(a PEM file), name it; it is written as ["
                    << side << "] ca_file.\n";
            const std::string path = platform::ExpandHome(
                ask_.Ask("Certificate file of the authority (\"-\": none)", "-"));
            if (path == "-" || path.empty()) return f.finding;
            if (!platform::IsFile(path)) {
                io_.err << "  " << path << " is not a file\n";
                if (ask_.AtEnd()) return f.finding;
                continue;
            }
            caFile = path;
        }
    }

    // The settings as they will be once saved, for the servers' tests.
    ServerSettings Answered() const {
        ServerSettings s{env_, {}, options_, {}};
        config::Options& o = s.options;
        s.cfg.gVoxaFaxAddr = a_.addr;
        s.cfg.gPassword = a_.pass;
        s.cfg.gUserSMTPServer = a_.smtp;
        o.popHost = a_.popHost;
        o.popTls = a_.popTls;
        o.popStartTls = a_.popStartTls;
        o.popPort = a_.popPort;
        o.popUser = a_.popUser == a_.User() ? "" : a_.popUser;
        o.popCaFile = a_.popCaFile;
        o.smtpTls = a_.smtpTls;
        o.smtpPort = a_.smtpPort;
        o.smtpCaFile = a_.smtpCaFile;
        o.smtpRelayHost = a_.relay ? a_.relayHost : "";
        o.smtpRelayPort = a_.relayPort;
        o.smtpStartTls = a_.smtpStartTls;
        o.smtpUser = a_.relay ? a_.smtpUser : "";
        if (a_.smtpPassTyped) {
            o.smtpSecret = config::SecretSource{"smtp", "", ""};
            s.smtpPassword = a_.smtpPass;
        }
        return s;
    }

    bool Save() {
        // Each key is written under the profile lock, so a scheduler or
        // voxafax-print writing at the same time keeps its own keys.
        platform::ProfileStore profile(env_.profilePath);
        bool ok = true;
        auto put = [&](const char* key, const std::string& value) {
            ok = profile.WriteProfileStringA(kSection, key, value) != 0 && ok;
        };
        put("Voxa_Fax_Addr", a_.addr);
        if (a_.pass != oldPass_) put("Password", a_.pass);
        put("Printer_Type", a_.printer);
        put("VoxaFax_Profile", a_.store);
        put("Confirm_Receipt", a_.receipts ? "y" : "n");
        if (!a_.relay) put("User_SMTP_Server", a_.smtp);
        if (a_.receipts) put("Normal_EMail_Addr", a_.returnAddr);
        put("Use_Defaults", a_.otherTypes ? "1" : "0");
        if (a_.charsPerLine > 0) {
            put("chrs_per_line", std::to_string(a_.charsPerLine));
            put("lines_per_page", std::to_string(a_.linesPerPage));
        }
        if (a_.textPages) {
            put("Print_Simple_Header",
                a_.headerStyle == "simple" || a_.headerStyle == "both" ? "y" : "");
            put("Print_Full_Header",
                a_.headerStyle == "full" || a_.headerStyle == "both" ? "y" : "");
        }

        if (storedMaildir_ != a_.maildir)
            ok = platform::ini::WriteKey(env_.StoresIni(), a_.store, "maildir", a_.maildir) && ok;
        if (a_.newFolderPrinter)
            ok = platform::ini::WriteKey(env_.PrintersIni(), a_.printer, "directory",
                                         a_.folderDir) &&
                 ok;

        ok = SaveOptions() && ok;

        if (!ok) {
            io_.err << "voxafax setup: could not write all settings (see above for the files)\n";
            return false;
        }
        // A profile made by hand or copied may be readable by others; it
        // now holds the password.
        struct stat st {};
        if (!a_.pass.empty() && ::stat(env_.profilePath.c_str(), &st) == 0 && (st.st_mode & 077) &&
            ::chmod(env_.profilePath.c_str(), st.st_mode & 0700) == 0)
            io_.out << "Made " << env_.profilePath
                    << " readable by you alone: it holds the password.\n";
        io_.out << "Saved to " << env_.profilePath << ", " << env_.StoresIni() << ", "
                << env_.OptionsIni();
        if (a_.newFolderPrinter) io_.out << ", " << env_.PrintersIni();
        io_.out << ".\nStart a run with: voxafax run\n";
        return true;
    }

    // options.ini: a host only when it is not the address's domain, a port
    // only when it is not the default for the TLS choice (or was written
    // before), so the file says what differs.
    bool SaveOptions() {
        bool ok = true;
        auto option = [&](const char* section, const char* key, const std::string& value) {
            ok = platform::ini::WriteKey(env_.OptionsIni(), section, key, value) && ok;
        };
        if (!platform::EqualsNoCase(a_.popHost, a_.Domain()) || HasOption("pop3", "host"))
            option("pop3", "host", a_.popHost);
        option("pop3", "tls", a_.popTls ? "yes" : a_.popStartTls ? "starttls" : "no");
        if (a_.popPort != (a_.popTls ? 995 : 110) || HasOption("pop3", "port"))
            option("pop3", "port", std::to_string(a_.popPort));
        if (a_.popUser != a_.User() || HasOption("pop3", "user"))
            option("pop3", "user", a_.popUser == a_.User() ? "" : a_.popUser);
        if (a_.popCaFile != options_.popCaFile) option("pop3", "ca_file", a_.popCaFile);
        if (a_.smtpCaFile != options_.smtpCaFile) option("smtp", "ca_file", a_.smtpCaFile);
        if (!a_.relay && !a_.smtp.empty()) {
            option("smtp", "tls", a_.smtpTls ? "yes" : "no");
            if (a_.smtpPort != (a_.smtpTls ? 465 : 25) || HasOption("smtp", "port"))
                option("smtp", "port", std::to_string(a_.smtpPort));
        }
        option("print", "text_pages", a_.textPages ? "yes" : "no");
        return SaveRelay() && ok;
    }

    // [smtp] relay, starttls and user; the login's password in a file of
    // its own (password_file, 0600), never in the profile. Without a relay,
    // keys of an earlier one are emptied.
    bool SaveRelay() {
        const std::string ini = env_.OptionsIni();
        auto option = [&](const char* key, const std::string& value) {
            return platform::ini::WriteKey(ini, "smtp", key, value);
        };
        if (!a_.relay) {
            bool ok = true;
            for (const char* key : {"relay", "user"})
                if (HasOption("smtp", key)) ok = option(key, "") && ok;
            return ok;
        }
        bool ok =
            option("relay",
                   a_.relayHost + (a_.relayPort == 587 ? "" : ":" + std::to_string(a_.relayPort)));
        if (!a_.smtpStartTls || HasOption("smtp", "starttls"))
            ok = option("starttls", a_.smtpStartTls ? "yes" : "no") && ok;
        ok = option("user", a_.smtpUser) && ok;
        if (!a_.smtpPassTyped) return ok;
        if (a_.smtpPass.empty())  // the mailbox password, from the profile
            return (!HasOption("smtp", "password_file") || option("password_file", "")) && ok;
        const std::string file = options_.smtpSecret.file.empty()
                                     ? env_.configDir + "/smtp-password"
                                     : platform::ExpandHome(options_.smtpSecret.file);
        if (platform::Status st = platform::WriteFileAtomically(file, a_.smtpPass + "\n", 0600);
            !st.ok()) {
            io_.err << "voxafax setup: cannot write the SMTP password to " << file << ": "
                    << st.detail << "\n";
            return false;
        }
        return option("password_file", file) && ok;
    }

    const platform::Environment& env_;
    const SetupOptions& opts_;
    Io& io_;
    Services& services_;
    Asker ask_;
    const std::string text_;
    const std::string optionsText_;
    const config::Options options_;
    std::optional<std::string> storedMaildir_;  // the store's Maildir in stores.ini
    std::string oldPass_;
    Answers a_;
};

}  // namespace

int CmdSetup(const platform::Environment& env, const SetupOptions& opts, Io& io,
             Services& services) {
    // Settings it cannot read are never written over: the file would keep
    // only what setup asks.
    if (auto text = platform::ReadWholeFile(env.profilePath);
        !text && text.status().kind != platform::Fail::NotFound) {
        io.err << "voxafax setup: " << ProfileUnreadable(env.profilePath, text.status()) << "\n";
        return kProblem;
    }
    try {
        return Setup(env, opts, io, services).Run();
    } catch (const InputEnded&) {
        io.err << "voxafax setup: input ended; nothing was saved\n";
        return kProblem;
    }
}

}  // namespace companion
