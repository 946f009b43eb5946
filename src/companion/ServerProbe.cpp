#include "companion/ServerProbe.h"

#include <algorithm>

#include "config/RunGlobals.h"
#include "config/Secrets.h"
#include "mailout/Mailer.h"
#include "mailout/SmtpReply.h"
#include "net/FrmMail.h"
#include "platform/EventLoop.h"
#include "platform/Log.h"
#include "platform/Profile.h"
#include "platform/Text.h"
#include "pop/PopClient.h"

namespace companion {
namespace {

// What a client needs of a run, built for one probe. The run log is kept
// here: its errors become the finding, its warnings notes.
class Harness {
  public:
    Harness(const ServerSettings& s, platform::SocketFactory& sockets)
        : env(Bounded(s.env)),
          options(Bounded(s.options)),
          cfg(Bounded(s.cfg)),
          loop(clock),
          log(platform::LogLevel::Warning,
              [this](platform::LogLevel level, std::string_view line) {
                  (level == platform::LogLevel::Error ? errors : warnings).emplace_back(line);
              }),
          profile(env.profilePath),
          form({loop, sockets, env, options, cfg, log}) {
        const auto at = cfg.gVoxaFaxAddr.find('@');
        run.gLogin = cfg.gVoxaFaxAddr.substr(0, at);
        run.gPOPServer = at == std::string::npos ? "" : cfg.gVoxaFaxAddr.substr(at + 1);
    }

    // The run log's first error, or `fallback`.
    std::string Error(const std::string& fallback) const {
        return errors.empty() ? fallback : errors.front();
    }
    ServerFinding Outcome(bool ok, std::string text) const {
        ServerFinding f{{ok, std::move(text)}, warnings, false};
        for (const std::string& e : errors)
            f.untrustedCertificate = f.untrustedCertificate || Untrusted(e);
        f.untrustedCertificate = f.untrustedCertificate || Untrusted(f.finding.text);
        return f;
    }

    platform::Environment env;
    config::Options options;
    config::NodeConfig cfg;
    config::RunGlobals run;
    platform::SystemClock clock;
    platform::EventLoop loop;
    std::vector<std::string> errors, warnings;
    platform::Log log;
    platform::ProfileStore profile;
    net::FrmMail form;

  private:
    // A person waits for the answer: each wait is one tick of at most half
    // of kProbeTimeout, and a whole SMTP dialogue two.
    static platform::Environment Bounded(platform::Environment e) {
        e.tick = std::min(e.tick, kProbeTimeout / 2);
        return e;
    }
    static config::NodeConfig Bounded(config::NodeConfig c) {
        c.gTimoutMinutes = 1;
        return c;
    }
    static config::Options Bounded(config::Options o) {
        o.smtpDialogueMinutes = 0;
        return o;
    }
    static bool Untrusted(const std::string& text) {
        return text.find("certificate not trusted") != std::string::npos;
    }
};

// What to change when a refusal or a failure does not say it: what the
// server advertised and the configuration does not use, else the setting
// that names the server.
std::string Advice(const mailout::SmtpProbe& p, const Harness& h) {
    if (p.why.find("check ") != std::string::npos || p.why.find("; set ") != std::string::npos)
        return {};
    const config::Options& o = h.options;
    const std::string in = " in " + h.env.OptionsIni();
    if (o.smtpRelayHost.empty())
        return "; check User_SMTP_Server in " + h.env.profilePath + ", and [smtp] port and tls" +
               in;
    if (o.smtpUser.empty() && !mailout::AuthMechanisms(p.extensions).empty())
        return "; the server offers a login and none is configured: set [smtp] user (and its "
               "password)" +
               in;
    if (!p.startedTls && !o.smtpStartTls && mailout::Offers(p.extensions, "STARTTLS"))
        return "; the server offers STARTTLS: set [smtp] starttls = yes" + in;
    return "; check [smtp] relay (host:port)" + in;
}

}  // namespace

ServerFinding ProbePop3(const ServerSettings& s, platform::SocketFactory& sockets) {
    Harness h(s, sockets);
    config::Secrets secrets(h.loop, h.env.OptionsIni());
    pop::PopClient client({h.loop, h.log, h.profile, h.env, h.options, h.cfg, h.run, secrets},
                          h.form);
    const bool ok = client.Probe();
    const std::string host = h.options.popHost.empty() ? h.run.gPOPServer : h.options.popHost;
    if (!ok) return h.Outcome(false, h.Error("pop3 " + host + ": the logon failed"));
    const std::int32_t n = client.MessageCount();
    const std::string how = h.options.popTls ? " (TLS)" : h.options.popStartTls ? " (STLS)" : "";
    return h.Outcome(true, "pop3 " + host + ":" + std::to_string(h.options.popPort) + how +
                               ": logon OK, " + std::to_string(n) +
                               (n == 1 ? " message waiting" : " messages waiting"));
}

ServerFinding ProbeSmtp(const ServerSettings& s, platform::SocketFactory& sockets) {
    Harness h(s, sockets);
    if (!s.smtpPassword.empty()) h.cfg.gPassword = s.smtpPassword;
    config::Secrets secrets(h.loop, h.env.OptionsIni());
    mailout::Services services{h.cfg,
                               h.options,
                               h.run,
                               h.loop,
                               h.profile,
                               h.log,
                               h.env.profilePath,
                               h.env.OptionsIni(),
                               h.env.tick};
    services.secrets = &secrets;
    mailout::Mailer mailer(services, h.form);
    const mailout::SmtpProbe p = mailer.Probe(h.cfg.gVoxaFaxAddr);
    // A login without a password is told by the run log's own line.
    if (!p.ok && !h.errors.empty()) return h.Outcome(false, h.errors.front());
    std::string text = "smtp " + p.server;
    const std::string offered = Advertised(p.extensions, p.startedTls);
    if (!offered.empty()) text += ": " + offered;
    if (!p.ok)
        return h.Outcome(false, text + (offered.empty() ? ": " : "; ") + p.why + Advice(p, h));
    text += offered.empty() ? ": " : "; ";
    if (p.loggedIn) text += "login accepted, ";
    return h.Outcome(true, text + "would take mail from " + h.cfg.gVoxaFaxAddr + " to " +
                               h.cfg.gVoxaFaxAddr + " (nothing sent)");
}

std::string Advertised(const std::string& extensions, bool startedTls) {
    std::string out;
    auto add = [&](const std::string& what) { out += (out.empty() ? "" : ", ") + what; };
    if (startedTls || mailout::Offers(extensions, "STARTTLS")) add("STARTTLS");
    const std::vector<std::string> auth = mailout::AuthMechanisms(extensions);
    if (!auth.empty()) {
        std::string list;
        for (const std::string& m : auth) list += " " + m;
        add("AUTH" + list);
    }
    for (std::size_t b = 0, e; b < extensions.size(); b = e + 1) {
        e = std::min(extensions.find('\n', b), extensions.size());
        if (extensions.compare(b, 4, "SIZE") == 0) add(extensions.substr(b, e - b));
    }
    return out;
}

}  // namespace companion
