// voxafax check: the configuration files as voxafax-print will read them,
// without running it. The profile is read with the program's own reader
// (getfaxpierinfo) and options.ini with its own Options::Load, so what is
// reported is what the program decides.
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdlib>
#include <ostream>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "companion/Probe.h"
#include "companion/ServerProbe.h"
#include "config/NodeConfig.h"
#include "config/ProfileKeys.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace companion {
namespace {

using config::NodeConfig;
using platform::EqualsNoCase;
using platform::Lower;
using platform::Trim;

using config::KeyRead;
using config::ProfileKey;

bool IsNumber(KeyRead r) {
    return r == KeyRead::Number || r == KeyRead::Seconds || r == KeyRead::NumberUp;
}

using Entry = platform::ini::EntryLine;

bool SeemsOn(const std::string& v) {
    const std::string l = Lower(Trim(v));
    return l == "y" || l == "yes" || l == "true" || l == "on" || l == "1";
}
bool SeemsOff(const std::string& v) {
    const std::string l = Lower(Trim(v));
    return l.empty() || l == "n" || l == "no" || l == "false" || l == "off" || l == "0";
}

bool IsPort(const std::string& v) {
    if (v.empty() || v.size() > 5 || v.find_first_not_of("0123456789") != std::string::npos)
        return false;
    const long n = std::stol(v);
    return n >= 1 && n <= 65535;
}

std::string Base(const std::string& path) {
    auto slash = path.rfind('/');
    return slash == std::string::npos ? path : path.substr(slash + 1);
}

class Checker {
  public:
    explicit Checker(std::ostream& out) : out_(out) {}

    void Ok(const std::string& text) { out_ << "  ok       " << text << "\n"; }
    void Note(const std::string& text) { out_ << "  note     " << text << "\n"; }
    void Problem(const std::string& text) {
        out_ << "  PROBLEM  " << text << "\n";
        ++problems_;
    }
    void Report(const Finding& f) { f.ok ? Ok(f.text) : Problem(f.text); }
    int problems() const { return problems_; }

    // A file that may be read by this user alone, or a folder or file that
    // only this user may change.
    void Permissions(const std::string& path, bool secret, const std::string& why) {
        struct stat st {};
        if (::stat(path.c_str(), &st) != 0) return;
        const bool folder = S_ISDIR(st.st_mode);
        if (st.st_uid != ::getuid()) {
            Problem(path + " belongs to another user (uid " + std::to_string(st.st_uid) + ")");
            return;
        }
        if (secret && (st.st_mode & 077)) {
            char mode[8];
            std::snprintf(mode, sizeof mode, "%03o", st.st_mode & 0777);
            Problem(path + " (mode " + mode + ") " + why + ", but others may " +
                    (folder ? "look into it" : "read it") + ": chmod " +
                    (folder ? "700 " : "600 ") + path);
        } else if (!secret && (st.st_mode & 022)) {
            Problem(path + " " + why + ", but others may change it: chmod go-w " + path);
        }
    }

  private:
    std::ostream& out_;
    int problems_ = 0;
};

// A value of a known key that voxafax-print reads differently from what it
// seems to say.
void JudgeValue(Checker& c, const ProfileKey& k, const std::string& v, const std::string& where,
                const NodeConfig& cfg) {
    const std::string name = k.name;
    // Everything after "=" is the value in this file, a comment included.
    const bool text =
        k.read == KeyRead::Text || k.read == KeyRead::TextIfSet || k.read == KeyRead::Trimmed;
    if (name != "Password" && v.find(';') != std::string::npos && !text) {
        c.Problem(name + " = " + v + where +
                  ": in this file a comment after the value is part of the value; put it "
                  "on a line of its own");
        return;
    }
    if (k.flag) {
        if (cfg.*(k.flag) || SeemsOff(v)) return;
        const std::string fix = name + "=y";
        const std::string only = k.read == KeyRead::FlagTrim ? "a lower-case y" : "y or Y";
        c.Problem(name + " = " + v + " is read as off" + where +
                  (SeemsOn(v) ? ": only " + only + " turns it on; write " + fix
                              : ": write " + fix + " for on, or " + name + "=n"));
    } else if (IsNumber(k.read)) {
        std::int32_t n = 0;
        if (config::ToInt32(v, n)) return;
        const std::string then = name == "general_timout" ? "network waits then get no time at all"
                                 : name == "wake_probes"  ? "switch /3 then checks no more"
                                                          : "its default is used instead";
        c.Problem(name + " = " + v + " is not a whole number" + where + ": " + then);
    } else if (k.read == KeyRead::FileTypes) {
        const auto count = static_cast<std::size_t>(std::max<int>(cfg.gPrintFileTypeCount, 0));
        for (std::size_t i = 0; i < count && i < cfg.gPrintFileTypes.size(); ++i) {
            const std::string& t = cfg.gPrintFileTypes[i];
            if (t != Trim(t, " \t"))
                c.Problem("Print_File_Types entry \"" + t +
                          "\" has a blank, so no file matches it" + where +
                          ": write the types without blanks, e.g. tif,tiff,txt");
        }
    }
}

bool HasSection(Checker& c, const platform::Environment& env, const std::string& text) {
    const std::vector<std::string> names = platform::ini::Sections(text);
    for (const std::string& s : names)
        if (EqualsNoCase(s, kSection)) return true;
    const std::string near = platform::Closest(kSection, names);
    c.Problem(env.profilePath + " has no section [" + kSection + "]" +
              (near.empty() ? "" : "; [" + near + "] is not it") +
              ": voxafax-print reads every setting at its default; run voxafax setup");
    return false;
}

void CheckProfileKeys(Checker& c, const platform::Environment& env, const std::string& text,
                      const NodeConfig& cfg) {
    if (!HasSection(c, env, text)) return;
    const std::string file = Base(env.profilePath);
    std::vector<std::string> known;
    for (const ProfileKey& k : config::ProfileKeys()) known.emplace_back(k.name);
    std::vector<const Entry*> seen;
    for (const Entry& e : platform::ini::Entries(text)) {
        if (!EqualsNoCase(e.section, kSection)) continue;
        if (e.odd) {
            c.Problem(file + " line " + std::to_string(e.line) +
                      " is not key=value and is ignored; put \"; \" before a comment");
            continue;
        }
        const std::string where = " (" + file + " line " + std::to_string(e.line) + ")";
        const ProfileKey* k = config::FindProfileKey(e.key);
        if (!k) {
            const std::string near = platform::Closest(e.key, known);
            c.Problem(e.key + " is not a key voxafax-print reads" +
                      (near.empty() ? "" : "; did you mean " + near + "?") + where);
            continue;
        }
        auto dup = std::find_if(seen.begin(), seen.end(),
                                [&](const Entry* s) { return EqualsNoCase(s->key, e.key); });
        if (dup != seen.end()) {
            c.Problem(e.key + " is set again" + where + "; voxafax-print reads only the first, " +
                      "line " + std::to_string((*dup)->line) +
                      (k->name == std::string("Password") ? "" : " (\"" + (*dup)->value + "\")"));
            continue;
        }
        seen.push_back(&e);
        if (k->read != KeyRead::Status) JudgeValue(c, *k, e.value, where, cfg);
    }
}

void CheckProfileValues(Checker& c, const platform::Environment& env, const NodeConfig& cfg,
                        Services& services) {
    const std::string& addr = cfg.gVoxaFaxAddr;
    const auto at = addr.find('@');
    if (addr.empty())
        c.Problem("Voxa_Fax_Addr is empty: no mailbox to fetch from; run voxafax setup");
    else if (at == std::string::npos || at == 0 || at + 1 == addr.size())
        c.Problem("Voxa_Fax_Addr = " + addr + " is not user@domain; run voxafax setup");
    if (cfg.gPassword.empty()) c.Problem("Password is empty; run voxafax setup");
    if (cfg.gprinterName.empty())
        c.Note("Printer_Type is empty: nothing is printed; run voxafax setup to choose a printer");
    else
        c.Report(TryPrinter(services.printers, services.queueProblem, cfg.gprinterName));
    c.Report(TryStore(services.storeMaildir, env.StoresIni(), cfg.gVoxaFaxProfile));
    if (cfg.gflgConfirmReceipt && cfg.gNormalEMailAddr.empty())
        c.Problem(
            "Confirm_Receipt is on but Normal_EMail_Addr is empty: a receipt that cannot "
            "go out at once is never sent again; run voxafax setup");
    // A member status below "1" (empty included) prints TIFF faxes only.
    if (cfg.gMemberStatus < "1")
        c.Note(
            "Use_Defaults is empty or below 1: only TIFF attachments are printed, whatever "
            "Print_File_Types says");
}

struct PopPlan {
    bool used = true;
    std::string host;
};

PopPlan PlanPop(const NodeConfig& cfg, const config::Options& options) {
    PopPlan p;
    // The store's own delivery replaces the POP3 client when Use_Profile is on
    // and the member status is above "0".
    p.used = !cfg.gflgUseProfile || cfg.gMemberStatus <= "0";
    const auto at = cfg.gVoxaFaxAddr.find('@');
    p.host = !options.popHost.empty()  ? options.popHost
             : at == std::string::npos ? std::string()
                                       : cfg.gVoxaFaxAddr.substr(at + 1);
    return p;
}

void CheckOptionsFile(Checker& c, const platform::Environment& env,
                      const config::Options& options) {
    const std::string path = env.OptionsIni();
    auto text = platform::ReadWholeFile(path);
    if (!text)
        c.Note(path +
               " is missing: POP3 on port 110 and SMTP on port 25 without TLS, header "
               "pages and text attachments held back");
    // What voxafax-print itself refuses or names in its run log, in its own words.
    for (const std::string& problem : options.problems) c.Problem(problem);
    for (const std::string& unknown : options.unknown) c.Problem(unknown);
    for (const char* var : {"VOXAFAX_POP3_PORT", "VOXAFAX_SMTP_PORT"})
        if (const char* v = std::getenv(var); v && *v && IsPort(v))
            c.Note(std::string(var) + " = " + v + " wins over options.ini");
    if (!options.textPages)
        c.Note(
            "[print] text_pages is off: header pages and text attachments are not put on "
            "paper, and a fax of text only prints nothing");
}

// What two accounts must not share: the mailbox (POP3 server and logon
// name) and the store (its Maildir). Two runs at once on one of them fetch,
// print and answer the same faxes twice.
struct Account {
    std::string profile;
    std::string mailbox;  // "fax1 at pop.example.net"; "" when POP3 is not used
    std::string store;    // the Maildir, expanded; "" when unknown
};

std::string Canonical(const std::string& path) {
    std::string p = platform::ExpandHome(path);
    while (p.size() > 1 && p.back() == '/') p.pop_back();
    if (char* real = ::realpath(p.c_str(), nullptr)) {
        p = real;
        std::free(real);
    }
    return p;
}

Account AccountOf(const platform::Environment& env, const Services& services) {
    platform::ProfileStore profile(env.profilePath);
    NodeConfig cfg;
    config::getfaxpierinfo(cfg, profile);
    const config::Options options = config::Options::Load(env);
    Account a{Canonical(env.profilePath), {}, {}};
    const PopPlan pop = PlanPop(cfg, options);
    const auto at = cfg.gVoxaFaxAddr.find('@');
    const std::string user =
        !options.popUser.empty() ? options.popUser : cfg.gVoxaFaxAddr.substr(0, at);
    if (pop.used && !pop.host.empty()) a.mailbox = Lower(user) + " at " + Lower(pop.host);
    if (services.storeMaildir)
        if (auto dir = services.storeMaildir(env.StoresIni(), cfg.gVoxaFaxProfile))
            a.store = Canonical(*dir);
    return a;
}

// The profiles of the other accounts, where the per-account timer looks for
// them: <config>/voxafax/voxafax.ini and <config>/voxafax/NAME/voxafax.ini.
std::vector<platform::Environment> OtherAccounts(const platform::Environment& env) {
    const char* xdg = std::getenv("XDG_CONFIG_HOME");
    const std::string base =
        (xdg && *xdg ? std::string(xdg) : platform::ExpandHome("~/.config")) + "/voxafax";
    std::vector<std::string> paths = {base + "/voxafax.ini"};
    for (const std::string& name : platform::ListFolder(base).value_or({}))
        if (platform::IsFile(base + "/" + name + "/voxafax.ini"))
            paths.push_back(base + "/" + name + "/voxafax.ini");
    std::vector<platform::Environment> out;
    const std::string self = Canonical(env.profilePath);
    for (const std::string& p : paths) {
        if (!platform::IsFile(p) || Canonical(p) == self) continue;
        platform::Environment e = env;
        e.profilePath = p;
        e.configDir = platform::FolderOf(p);
        out.push_back(e);
    }
    return out;
}

void CheckSharedAccounts(Checker& c, const platform::Environment& env, const Services& services) {
    const Account self = AccountOf(env, services);
    for (const platform::Environment& other : OtherAccounts(env)) {
        const Account a = AccountOf(other, services);
        if (!self.mailbox.empty() && a.mailbox == self.mailbox)
            c.Problem("the mailbox " + self.mailbox + " is also fetched by " + a.profile +
                      ": two runs at once print and answer its faxes twice; give each profile "
                      "its own mailbox, or remove one");
        if (!self.store.empty() && a.store == self.store)
            c.Problem("the store " + self.store + " is also used by " + a.profile +
                      ": two runs at once print its faxes twice; give each profile its own "
                      "store (VoxaFax_Profile and stores.ini)");
    }
}

void Report(Checker& c, const ServerFinding& f) {
    for (const std::string& w : f.warnings) c.Note(w);
    c.Report(f.finding);
}

// The servers as a run meets them: the POP3 logon, and the SMTP path of the
// test message, with nothing fetched or sent.
void CheckServers(Checker& c, const ServerSettings& s, const CheckOptions& opts,
                  Services& services) {
    const NodeConfig& cfg = s.cfg;
    const config::Options& options = s.options;
    const PopPlan pop = PlanPop(cfg, options);
    if (!pop.used) {
        c.Note("Use_Profile is on: mail comes through the store's deliver command, not POP3");
    } else if (!pop.host.empty()) {
        if (!options.popTls && !options.popStartTls && !IsLoopback(pop.host) &&
            !cfg.gPassword.empty())
            c.Problem("the password goes to " + pop.host +
                      " in clear: set [pop3] tls = " + "yes (port 995) or tls = starttls in " +
                      s.env.OptionsIni() + ", whichever the server offers");
        if (!opts.offline) Report(c, ProbePop3(s, services.sockets));
    }
    const bool smtp = !options.smtpRelayHost.empty() || !cfg.gUserSMTPServer.empty();
    if (smtp && !opts.offline)
        Report(c, ProbeSmtp(s, services.sockets));
    else if (!smtp && cfg.gflgConfirmReceipt)
        c.Note(
            "neither [smtp] relay nor User_SMTP_Server is set: receipts go through the "
            "service's own SMTP servers");
}

}  // namespace

int CmdCheck(const platform::Environment& env, const CheckOptions& opts, std::ostream& out,
             Services& services) {
    Checker c(out);
    out << "Checking the settings of voxafax-print\n";
    auto text = platform::ReadWholeFile(env.profilePath);
    if (!text) {
        c.Problem(ProfileUnreadable(env.profilePath, text.status()));
        out << "1 problem found.\n";
        return kProblem;
    }
    platform::ProfileStore profile(env.profilePath);
    NodeConfig cfg;
    config::getfaxpierinfo(cfg, profile);
    const config::Options options = config::Options::Load(env);

    out << "\n" << env.profilePath << ":\n";
    int before = c.problems();
    CheckProfileKeys(c, env, *text, cfg);
    if (c.problems() == before) c.Ok("every key is one voxafax-print reads, read as it reads");
    CheckProfileValues(c, env, cfg, services);

    out << "\n" << env.OptionsIni() << ":\n";
    before = c.problems();
    CheckOptionsFile(c, env, options);
    if (c.problems() == before) c.Ok("every option is known and read as written");

    out << "\nFiles and folders:\n";
    before = c.problems();
    c.Permissions(env.profilePath, !cfg.gPassword.empty(), "holds the mailbox password");
    c.Permissions(env.OptionsIni(), false, "names the servers the password goes to");
    c.Permissions(env.configDir, false, "holds the settings");
    c.Permissions(env.programFolder, true, "holds mail");
    if (c.problems() == before) c.Ok("only you can read the password and the mail");
    before = c.problems();
    CheckSharedAccounts(c, env, services);
    if (c.problems() == before) c.Ok("no other profile shares the mailbox or the store");
    if (auto pid = RunningPid(env.programFolder + "/voxafax-print.lock"))
        c.Note("voxafax-print is running now (process " + std::to_string(*pid) + ")");

    out << "\nServers:\n";
    CheckServers(c, {env, cfg, options, {}}, opts, services);
    if (opts.offline) c.Note("--offline: the servers were not tried");

    out << "\n";
    if (c.problems() == 0) {
        out << "No problem found.\n";
        return kOk;
    }
    out << c.problems() << (c.problems() == 1 ? " problem" : " problems") << " found.\n";
    return kProblem;
}

}  // namespace companion
