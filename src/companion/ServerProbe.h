#pragma once
// The program's own POP3 and SMTP clients, taken as far as a run goes before
// anything would be fetched or sent: the POP3 logon (STLS, USER and PASS or
// SASL) and STAT; the SMTP dialogue of the test message through the relay
// (or User_SMTP_Server) up to RCPT TO, then RSET. What they say is what a
// run would say.
#include <string>
#include <vector>

#include "companion/Probe.h"
#include "config/NodeConfig.h"
#include "config/Options.h"
#include "platform/Environment.h"

namespace platform {
class SocketFactory;
}

namespace companion {

// What is tested: the saved settings (check) or the answers before they are
// saved (setup). The waits are those of a run, cut to kProbeTimeout.
struct ServerSettings {
    platform::Environment env;
    config::NodeConfig cfg;  // Voxa_Fax_Addr, Password, User_SMTP_Server
    config::Options options;
    // The SMTP login's password when it comes from neither password_file
    // nor password_command (setup's answer); "": the profile's Password.
    std::string smtpPassword;
};

// A probe's outcome: the finding, and the run's own warnings on the way.
struct ServerFinding {
    Finding finding;
    std::vector<std::string> warnings;
    // The failure was a certificate no trusted authority signed.
    bool untrustedCertificate = false;
};

ServerFinding ProbePop3(const ServerSettings& s, platform::SocketFactory& sockets);
ServerFinding ProbeSmtp(const ServerSettings& s, platform::SocketFactory& sockets);

// "STARTTLS, AUTH PLAIN LOGIN, SIZE 10240000" from an EHLO reply's
// extensions (and whether TLS was started): what a person needs to know.
std::string Advertised(const std::string& extensions, bool startedTls);

}  // namespace companion
