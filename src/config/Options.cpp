#include "config/Options.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <optional>

#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace config {
namespace {

using platform::Lower;
using platform::ReadWholeFile;
namespace ini = platform::ini;

std::string Env(const char* name) {
    const char* v = std::getenv(name);
    return v ? std::string(v) : std::string();
}

std::optional<long> ParseLong(const std::string& s) {
    if (s.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    long v = std::strtol(s.c_str(), &end, 10);
    if (!end || *end != '\0' || errno == ERANGE) return std::nullopt;
    return v;
}

// "host" or "host:port" ("[v6]:port" for an IPv6 address).
bool SplitHostPort(const std::string& text, std::string& host, int& port) {
    std::string p;
    if (!text.empty() && text[0] == '[') {
        const std::size_t close = text.find(']');
        if (close == std::string::npos) return false;
        host = text.substr(1, close - 1);
        if (close + 1 < text.size()) {
            if (text[close + 1] != ':') return false;
            p = text.substr(close + 2);
        }
    } else {
        const std::size_t colon = text.find(':');
        host = text.substr(0, colon);
        if (colon != std::string::npos) p = text.substr(colon + 1);
    }
    if (host.empty() || host.find_first_of(" \t") != std::string::npos) return false;
    if (p.empty()) return text.back() != ':';
    auto n = ParseLong(p);
    if (!n || *n < 1 || *n > 65535) return false;
    port = static_cast<int>(*n);
    return true;
}

std::optional<bool> ParseFlag(const std::string& v) {
    const std::string l = Lower(v);
    if (l == "yes" || l == "y" || l == "true" || l == "on" || l == "1") return true;
    if (l == "no" || l == "n" || l == "false" || l == "off" || l == "0") return false;
    return std::nullopt;
}

// Reads the keys of options.ini and the variables that win over them. Every
// value that is present must make sense: a typing error must not quietly
// become a default (a port of 65537 once became port 1).
class OptionReader {
  public:
    OptionReader(std::string path, std::vector<std::string>& problems,
                 std::vector<std::string>& known)
        : path_(std::move(path)),
          text_(ReadWholeFile(path_).value_or("")),
          problems_(problems),
          known_(known) {}

    // yes/no, true/false, on/off, 1/0 (any letter case).
    void Flag(const char* section, const char* key, bool& out) {
        auto v = Get(section, key);
        if (!v) return;
        if (auto f = ParseFlag(*v))
            out = *f;
        else
            Refuse(section, key, *v, "is neither yes nor no");
    }

    // A flag that may also be "starttls": TLS from the start (yes), after
    // the protocol's upgrade command (starttls), or none.
    void Tls(const char* section, const char* key, bool& implicit, bool& starttls) {
        auto v = Get(section, key);
        if (!v) return;
        starttls = Lower(*v) == "starttls";
        implicit = false;
        if (starttls) return;
        if (auto f = ParseFlag(*v))
            implicit = *f;
        else
            Refuse(section, key, *v, "is neither yes, no nor starttls");
    }

    // password_command and password_file of a server section; "~" in the
    // file's path is the home folder.
    void Secret(SecretSource& out) {
        Text(out.section.c_str(), "password_command", out.command);
        Text(out.section.c_str(), "password_file", out.file);
        if (!out.file.empty()) out.file = platform::ExpandHome(out.file);
        if (!out.command.empty() && !out.file.empty())
            problems_.push_back("[" + out.section + "] password_command and password_file in " +
                                path_ + " are both set; keep one");
    }

    // The [smtp] keys of submission through a relay, and the variables of
    // MX lookups.
    void Submission(Options& o) {
        std::string relay;
        Text("smtp", "relay", relay);
        if (!relay.empty() && !SplitHostPort(relay, o.smtpRelayHost, o.smtpRelayPort))
            Refuse("smtp", "relay", relay, "is not host or host:port (a port from 1 to 65535)");
        Flag("smtp", "direct", o.smtpDirect);
        Flag("smtp", "starttls", o.smtpStartTls);
        Text("smtp", "user", o.smtpUser);
        const std::vector<std::string> mechanisms = {"plain", "login", "xoauth2"};
        int auth = -1;
        Choice("smtp", "auth", mechanisms, auth);
        if (auth >= 0) o.smtpAuth = platform::Upper(mechanisms[static_cast<std::size_t>(auth)]);
        Text("smtp", "helo", o.smtpHelo);
        if (o.smtpHelo.find_first_of(" \t<>") != std::string::npos)
            Refuse("smtp", "helo", o.smtpHelo, "is not a host name");
        Flag("smtp", "mx", o.smtpMx);
        Flag("smtp", "standards", o.smtpStandards);
        if (o.smtpRelayHost.empty() && !o.smtpUser.empty())
            problems_.push_back("[smtp] user in " + path_ +
                                " is for a relay, and no relay is set; add relay = host[:port]");
        o.nameServer = Env("VOXAFAX_NAMESERVER");
        o.hostsFileOnly = !Env("VOXAFAX_HOSTS_FILE").empty();
    }

    // A whole number from lo to hi.
    void Number(const char* section, const char* key, long lo, long hi, int& out) {
        auto v = Get(section, key);
        if (!v) return;
        if (auto n = ParseLong(*v); n && *n >= lo && *n <= hi) {
            out = static_cast<int>(*n);
            return;
        }
        Refuse(section, key, *v, Range(lo, hi));
    }

    // One of a few words (any letter case); the index of the word given.
    void Choice(const char* section, const char* key, const std::vector<std::string>& words,
                int& out) {
        auto v = Get(section, key);
        if (!v) return;
        for (std::size_t i = 0; i < words.size(); ++i)
            if (Lower(*v) == words[i]) {
                out = static_cast<int>(i);
                return;
            }
        std::string list;
        for (std::size_t i = 0; i < words.size(); ++i)
            list += (i == 0 ? "" : i + 1 == words.size() ? " or " : ", ") + words[i];
        Refuse(section, key, *v, "is not " + list);
    }

    // A file (or folder) that must be there and readable: "~" is $HOME.
    void Path(const char* section, const char* key, bool folder, std::string& out) {
        auto v = Get(section, key);
        if (!v || v->empty()) return;
        const std::string path = platform::ExpandHome(*v);
        struct stat st {};
        const bool there = ::stat(path.c_str(), &st) == 0 &&
                           (folder ? S_ISDIR(st.st_mode) : S_ISREG(st.st_mode)) &&
                           ::access(path.c_str(), folder ? R_OK | X_OK : R_OK) == 0;
        if (!there) {
            Refuse(section, key, *v,
                   folder ? "is no folder this user can read" : "is no file this user can read");
            return;
        }
        out = path;
    }

    // Any text (a host name): nothing to check here.
    void Text(const char* section, const char* key, std::string& out) {
        if (auto v = Get(section, key)) out = *v;
    }

    // The same for an environment variable, which wins over the file.
    // True when the variable set the value.
    bool Variable(const char* name, long lo, long hi, int& out) {
        const std::string v = Env(name);
        if (v.empty()) return false;
        if (auto n = ParseLong(v); n && *n >= lo && *n <= hi) {
            out = static_cast<int>(*n);
            return true;
        }
        problems_.push_back(std::string(name) + " = " + v + " " + Range(lo, hi) +
                            "; correct or unset the variable");
        return false;
    }

    // The file's keys that no call above asked for.
    std::vector<std::string> Unknown() const {
        std::vector<std::string> out;
        for (const ini::EntryLine& e : ini::Entries(text_)) {
            if (e.odd) continue;
            const std::string name = Lower(e.section) + " " + Lower(e.key);
            if (std::find(known_.begin(), known_.end(), name) != known_.end()) continue;
            const std::string near = platform::Closest(name, known_);
            const std::size_t blank = near.find(' ');
            out.push_back("[" + e.section + "] " + e.key + " in " + path_ + " line " +
                          std::to_string(e.line) + " is not an option voxafax-print reads" +
                          (near.empty() ? std::string()
                                        : "; did you mean [" + near.substr(0, blank) + "] " +
                                              near.substr(blank + 1) + "?"));
        }
        return out;
    }

  private:
    std::optional<std::string> Get(const char* section, const char* key) {
        known_.push_back(Lower(std::string(section) + " " + key));
        auto v = ini::Lookup(text_, section, key);
        if (!v) return std::nullopt;
        return ini::StripComment(*v);
    }
    static std::string Range(long lo, long hi) {
        return "is not a whole number from " + std::to_string(lo) + " to " + std::to_string(hi);
    }
    void Refuse(const char* section, const char* key, const std::string& value,
                const std::string& why) {
        const std::string shown = value.empty() ? " (empty)" : " = " + value;
        problems_.push_back("[" + std::string(section) + "] " + key + shown + " in " + path_ + " " +
                            why + "; correct or remove it");
    }

    std::string path_;
    std::string text_;
    std::vector<std::string>& problems_;
    std::vector<std::string>& known_;
};

}  // namespace

Options Options::Load(const platform::Environment& env) {
    Options o;
    OptionReader r(env.OptionsIni(), o.problems, o.knownKeys);
    r.Flag("print", "text_pages", o.textPages);
    r.Number("print", "max_pages", 1, 10000, o.maxPages);
    r.Number("print", "max_fax_pages", 1, 1000000, o.maxFaxPages);
    r.Tls("pop3", "tls", o.popTls, o.popStartTls);
    r.Flag("smtp", "tls", o.smtpTls);
    // Implicit TLS has ports of its own unless one is given.
    o.popPort = o.popTls ? 995 : 110;
    o.smtpPort = o.smtpTls ? 465 : 25;
    r.Number("pop3", "port", 1, 65535, o.popPort);
    r.Number("smtp", "port", 1, 65535, o.smtpPort);
    r.Text("pop3", "host", o.popHost);
    r.Number("pop3", "max_message_mb", 1, 1024 * 1024, o.popMaxMessageMb);
    r.Number("smtp", "receipt_max_runs", 1, 1000, o.receiptMaxRuns);
    r.Number("smtp", "receipt_max_days", 1, 3650, o.receiptMaxDays);
    r.Number("smtp", "dialogue_minutes", 0, 1440, o.smtpDialogueMinutes);
    r.Submission(o);
    r.Secret(o.popSecret);
    r.Secret(o.smtpSecret);
    r.Flag("pop3", "allow_clear", o.popAllowClear);
    r.Text("pop3", "user", o.popUser);
    int auth = 0;
    r.Choice("pop3", "auth", {"user", "plain", "xoauth2"}, auth);
    o.popAuth = static_cast<Options::PopAuth>(auth);
    r.Number("pop3", "min_kb_per_minute", 0, 1024 * 1024, o.popMinKbPerMinute);
    r.Number("pop3", "session_minutes", 1, 1440, o.popSessionMinutes);
    r.Path("pop3", "ca_file", false, o.popCaFile);
    r.Path("pop3", "ca_path", true, o.popCaPath);
    r.Path("smtp", "ca_file", false, o.smtpCaFile);
    r.Path("smtp", "ca_path", true, o.smtpCaPath);
    o.popPortFromVariable = r.Variable("VOXAFAX_POP3_PORT", 1, 65535, o.popPort);
    o.smtpPortFromVariable = r.Variable("VOXAFAX_SMTP_PORT", 1, 65535, o.smtpPort);
    o.unknown = r.Unknown();
    return o;
}

}  // namespace config
