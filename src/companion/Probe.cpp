#include "companion/Probe.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <optional>

#include "platform/Environment.h"
#include "platform/EventLoop.h"
#include "platform/Files.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Socket.h"
#include "platform/Text.h"

namespace companion {
namespace {

constexpr std::size_t kMaxReplyShown = 120;

std::string Seconds(platform::Millis ms) {
    return std::to_string((ms.count() + 999) / 1000) + " s";
}

// A reply as a person sees it: one line, not too long.
std::string Shown(std::string_view reply) {
    return platform::OneLine(platform::Trim(reply), kMaxReplyShown, "...");
}

// "Connection refused" -> "connection refused"
std::string Reason(std::string text) {
    if (text.empty()) return "failed";
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

// One line-by-line dialogue with a server, on an event loop of its own,
// bounded as a whole by one deadline.
class Dialogue {
  public:
    Dialogue(platform::SocketFactory& sockets, platform::Millis timeout)
        : loop_(clock_), timeout_(timeout), sock_(sockets.Create(loop_)) {
        platform::SocketHandlers h;
        h.onConnect = [this] { connected_ = true; };
        h.onData = [this](std::size_t n) { in_ += sock_->Receive(n); };
        h.onError = [this](int code, const std::string& text) {
            error_ = text.empty() ? std::strerror(code) : text;
            closed_ = true;
        };
        h.onDisconnect = [this] {
            in_ += sock_->Receive(static_cast<std::size_t>(sock_->RecvNext()));
            closed_ = true;
        };
        h.onWrite = [] {};
        sock_->SetHandlers(std::move(h));
        loop_.After(timeout_, [this] { timedOut_ = true; });
    }
    ~Dialogue() { sock_->Disconnect(); }

    // "" once connected (and through TLS), else why not.
    std::string Open(const Endpoint& server) {
        platform::TlsSettings tls;
        tls.enabled = server.tls;
        sock_->SetTls(tls);
        if (sock_->SetHostName(server.host).empty()) return "host not found";
        if (int rc = sock_->Connect(server.port); rc != 0) return Reason(std::strerror(rc));
        if (!Wait([this] { return connected_; })) return Failure("no connection");
        return {};
    }

    // The next line of the server's reply, without its line end.
    std::optional<std::string> ReadLine() {
        std::size_t nl = std::string::npos;
        if (!Wait([&] { return (nl = in_.find('\n')) != std::string::npos; })) return std::nullopt;
        std::string line = in_.substr(0, nl);
        in_.erase(0, nl + 1);
        if (!line.empty() && line.back() == '\r') line.pop_back();
        return line;
    }

    // A reply of the SMTP kind: "250-..." lines up to "250 ...". Returns
    // the last line.
    std::optional<std::string> ReadSmtpReply() {
        for (;;) {
            auto line = ReadLine();
            if (!line || line->size() < 4 || (*line)[3] != '-') return line;
        }
    }

    bool Send(std::string_view text) {
        while (!text.empty()) {
            long n = sock_->Write(text);
            if (n < 0) {
                error_ = "the connection broke";
                return false;
            }
            text.remove_prefix(static_cast<std::size_t>(n));
            if (!text.empty() && !Wait([this] { return sock_->IsWritable(); })) return false;
        }
        return true;
    }

    // Why the last wait failed.
    std::string Failure(const std::string& what) const {
        if (!error_.empty()) return Reason(error_);
        if (timedOut_) return what + " within " + Seconds(timeout_);
        return "the server closed the connection";
    }

  private:
    template <class Pred>
    bool Wait(Pred done) {
        while (!done()) {
            if (timedOut_ || closed_) return done();
            loop_.RunOnce(true);
        }
        return true;
    }

    platform::SystemClock clock_;
    platform::EventLoop loop_;
    platform::Millis timeout_;
    std::unique_ptr<platform::Socket> sock_;
    std::string in_;
    std::string error_;
    bool connected_ = false;
    bool closed_ = false;
    bool timedOut_ = false;
};

bool Positive(const std::optional<std::string>& reply) {
    return reply && reply->rfind("+OK", 0) == 0;
}

}  // namespace

std::string Endpoint::Describe(const char* protocol) const {
    std::string h = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    return std::string(protocol) + " " + h + ":" + std::to_string(port) + (tls ? " (TLS)" : "");
}

Finding TryPop3(platform::SocketFactory& sockets, const Endpoint& server, const std::string& user,
                const std::string& password, platform::Millis timeout) {
    const std::string who = server.Describe("pop3") + ": ";
    Dialogue d(sockets, timeout);
    if (std::string why = d.Open(server); !why.empty()) return {false, who + why};
    auto reply = d.ReadLine();
    if (!reply) return {false, who + d.Failure("no greeting")};
    if (!Positive(reply)) return {false, who + "greeted with \"" + Shown(*reply) + "\""};
    if (!d.Send("USER " + user + "\r\n") || !(reply = d.ReadLine()))
        return {false, who + d.Failure("no answer to USER")};
    if (!Positive(reply))
        return {false, who + "logon refused for user " + user + ": \"" + Shown(*reply) + "\""};
    if (!d.Send("PASS " + password + "\r\n") || !(reply = d.ReadLine()))
        return {false, who + d.Failure("no answer to PASS")};
    if (!Positive(reply))
        return {false, who + "logon refused for user " + user + ": \"" + Shown(*reply) + "\""};
    if (!d.Send("STAT\r\n") || !(reply = d.ReadLine()))
        return {false, who + d.Failure("no answer to STAT")};
    if (!Positive(reply)) return {false, who + "STAT refused: \"" + Shown(*reply) + "\""};
    // "+OK 3 4567": count and size. QUIT with nothing marked deletes nothing.
    long count = -1;
    std::sscanf(reply->c_str() + 3, "%ld", &count);
    (void)d.Send("QUIT\r\n");
    (void)d.ReadLine();
    if (count < 0) return {false, who + "STAT answered \"" + Shown(*reply) + "\""};
    return {true, who + "logon OK, " + std::to_string(count) +
                      (count == 1 ? " message waiting" : " messages waiting")};
}

Finding TrySmtp(platform::SocketFactory& sockets, const Endpoint& server,
                platform::Millis timeout) {
    const std::string who = server.Describe("smtp") + ": ";
    Dialogue d(sockets, timeout);
    if (std::string why = d.Open(server); !why.empty()) return {false, who + why};
    auto greeting = d.ReadSmtpReply();
    if (!greeting) return {false, who + d.Failure("no greeting")};
    if (greeting->rfind("220", 0) != 0)
        return {false, who + "greeted with \"" + Shown(*greeting) + "\", not 220"};
    char name[256] = "localhost";
    ::gethostname(name, sizeof name - 1);
    auto reply = d.Send(std::string("EHLO ") + name + "\r\n") ? d.ReadSmtpReply() : std::nullopt;
    if (!reply) return {false, who + d.Failure("no answer to EHLO")};
    if (reply->rfind("250", 0) != 0)
        return {false, who + "EHLO answered \"" + Shown(*reply) + "\""};
    (void)d.Send("QUIT\r\n");
    (void)d.ReadSmtpReply();
    return {true, who + "greeting OK: \"" + Shown(*greeting) + "\""};
}

std::string WritableOrCreatable(const std::string& folder) {
    std::string dir = folder;
    while (!dir.empty()) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
            if (::access(dir.c_str(), W_OK | X_OK) != 0)
                return dir + " cannot be written: " + Reason(std::strerror(errno));
            return {};
        }
        if (errno != ENOENT) return dir + ": " + Reason(std::strerror(errno));
        std::string up = platform::FolderOf(dir);
        if (up == dir || up == ".") break;
        dir = up;
    }
    return {};
}

Finding TryPrinter(platform::Printers& printers,
                   const std::function<std::string(const std::string&)>& queueProblem,
                   const std::string& name) {
    const std::string who = "printer \"" + name + "\": ";
    const auto installed = printers.Installed();
    std::string sameButCase;
    for (const platform::PrinterInfo& p : installed) {
        if (p.deviceName == name) {
            if (p.isFolder) {
                std::string why = WritableOrCreatable(p.directory);
                if (!why.empty()) return {false, who + "folder printer, but " + why};
                return {true,
                        who + "folder printer, PDF files go to " + p.directory +
                            (platform::IsFolder(p.directory) ? "" : " (made at the first print)")};
            }
            std::string why = queueProblem ? queueProblem(name) : std::string();
            if (!why.empty()) return {false, who + "CUPS printer, but " + why};
            return {true, who + "CUPS printer, accepts jobs"};
        }
        if (platform::EqualsNoCase(p.deviceName, name)) sameButCase = p.deviceName;
    }
    std::string text = who + "not installed";
    if (!sameButCase.empty())
        text += " (\"" + sameButCase + "\" differs in letter case only, and case counts)";
    std::string list;
    for (const platform::PrinterInfo& p : installed)
        list += (list.empty() ? "" : ", ") + p.deviceName;
    text += list.empty() ? "; no printer is installed" : "; installed: " + list;
    return {false, text};
}

Finding TryStore(const std::string& storesIni, const std::string& profile) {
    const std::string who = "mail store \"" + profile + "\": ";
    auto text = platform::ReadWholeFile(storesIni);
    if (!text) return {false, who + storesIni + " is missing; run voxafax setup"};
    auto value = platform::ini::Lookup(*text, profile, "maildir");
    bool hasSection = false;
    std::string names;
    for (const std::string& s : platform::ini::Sections(*text)) {
        hasSection = hasSection || platform::EqualsNoCase(s, profile);
        names += (names.empty() ? "" : ", ") + s;
    }
    if (!hasSection)
        return {false, who + "no such profile in " + storesIni +
                           " (profiles: " + (names.empty() ? "none" : names) + ")"};
    std::string dir = value ? platform::ini::StripComment(*value) : std::string();
    if (dir.empty()) return {false, who + "no maildir key in " + storesIni};
    return TryMaildir(profile, dir);
}

Finding TryMaildir(const std::string& profile, const std::string& maildir) {
    const std::string who = "mail store \"" + profile + "\": ";
    if (maildir[0] != '/' && maildir[0] != '~')
        return {false, who + "maildir = " + maildir +
                           " is relative, so it depends on the folder voxafax-print starts in; "
                           "write it from ~ or /"};
    const std::string dir = platform::ExpandHome(maildir);
    if (std::string why = WritableOrCreatable(dir); !why.empty()) return {false, who + why};
    return {true,
            who + "Maildir " + dir + (platform::IsFolder(dir) ? "" : " (made at the first run)")};
}

bool IsLoopback(const std::string& host) {
    if (platform::EqualsNoCase(host, "localhost") || platform::EqualsNoCase(host, "localhost."))
        return true;
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    if (::inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
    return false;
}

}  // namespace companion
