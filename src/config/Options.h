#pragma once
// options.ini: what this implementation offers beyond the scheduler's
// settings, read once per run.
#include <string>
#include <vector>

#include "config/Secrets.h"
#include "platform/Environment.h"
#include "platform/Imaging.h"

namespace config {

// options.ini, with the environment's port variables winning over it.
struct Options {
    bool textPages = false;  // [print] text_pages: really print header pages and text files
    int maxPages =
        platform::kDefaultMaxPages;  // [print] max_pages: a longer document is not printed
    // [print] max_fax_pages: the most sheets one fax may put on paper, header
    // and text pages included; a fax that needs more is unprintable.
    int maxFaxPages = 500;
    std::string popHost;  // [pop3] host: a POP3 server other than the address's domain
    bool popTls = false;  // [pop3] tls
    int popPort = 110;    // [pop3] port, $VOXAFAX_POP3_PORT
    // [pop3] max_message_mb: a larger message (MiB) is left on the server and
    // reported, and no download may grow past it.
    int popMaxMessageMb = 100;
    bool smtpTls = false;  // [smtp] tls
    int smtpPort = 25;     // [smtp] port, $VOXAFAX_SMTP_PORT
    // The port came from the variable, so that is what a person must change.
    bool popPortFromVariable = false;
    bool smtpPortFromVariable = false;
    // A receipt that no server took leaves Out/ for Undelivered/ once it is
    // receipt_max_days old and servers were asked about it in at least
    // receipt_max_runs runs; until then it is retried at growing intervals.
    int receiptMaxRuns = 10;  // [smtp] receipt_max_runs
    int receiptMaxDays = 5;   // [smtp] receipt_max_days
    // The longest one SMTP dialogue may take, in network timer ticks
    // (minutes); 0: one tick more than a single reply wait allows.
    int smtpDialogueMinutes = 0;  // [smtp] dialogue_minutes

    // Submission through the subscriber's provider: a relay (host, and its
    // port or 0 for 465 with tls, else 587) tried in place of the nine
    // candidate rows, or before them with direct. The relay gets EHLO,
    // STARTTLS (unless its connection is TLS already) and, with a user, a
    // login over TLS (auth: PLAIN, LOGIN or XOAUTH2; "": the best offered).
    std::string smtpRelayHost;  // [smtp] relay = host[:port]
    int smtpRelayPort = 0;
    bool smtpDirect = false;   // [smtp] direct
    bool smtpStartTls = true;  // [smtp] starttls
    std::string smtpUser;      // [smtp] user
    std::string smtpAuth;      // [smtp] auth, upper case
    std::string smtpHelo;      // [smtp] helo: the greeting's name for every server
    bool smtpMx = false;       // [smtp] mx: rows 1 and 2 become the domain's MX hosts
    bool smtpStandards =
        false;  // [smtp] standards: Message-Id, Date and From as the standard has them
    // $VOXAFAX_NAMESERVER: the one name server MX lookups ask; without it,
    // $VOXAFAX_HOSTS_FILE keeps them off the network (no MX is found).
    std::string nameServer;
    bool hostsFileOnly = false;

    // [pop3] and [smtp] password_command / password_file: where a server's
    // password comes from instead of the profile's Password.
    SecretSource popSecret{"pop3", "", ""};
    SecretSource smtpSecret{"smtp", "", ""};
    // --- POP3 logon and transfer, TLS trust ---
    // [pop3] tls = starttls: STLS on the plain port before the logon (popTls
    // stays false: that is implicit TLS). A server that refuses STLS ends the
    // session unless [pop3] allow_clear = yes.
    bool popStartTls = false;
    bool popAllowClear = false;
    std::string popUser;  // [pop3] user: the logon name; "" = the user part of Voxa_Fax_Addr
    enum class PopAuth { User, Plain, XOAuth2 };
    PopAuth popAuth = PopAuth::User;  // [pop3] auth = user (USER and PASS) | plain | xoauth2
    // A download that brings less than this in any minute (tick) of its own
    // is cut; 0 = no floor.
    int popMinKbPerMinute = 60;  // [pop3] min_kb_per_minute
    // The longest a whole POP3 session may take, in ticks, whatever the
    // mailbox announces.
    int popSessionMinutes = 15;  // [pop3] session_minutes
    // Authorities trusted besides the system's, per server: a PEM file and a
    // folder of hashed certificates ([pop3] / [smtp] ca_file and ca_path).
    std::string popCaFile, popCaPath;
    std::string smtpCaFile, smtpCaPath;

    // Values that Load refused, one line each naming the key and the file (or
    // the variable), the value and what is allowed. A refused value leaves
    // its setting at the default; a run does not start while there is one.
    std::vector<std::string> problems;
    // Every option Load reads, as "section key" in lower case.
    std::vector<std::string> knownKeys;
    // Keys of the file that are none of those, one line each naming the key,
    // the file and line, and the option it is most likely a misspelling of.
    // They are ignored: a run names them in its log and goes on.
    std::vector<std::string> unknown;

    static Options Load(const platform::Environment& env);
};

}  // namespace config
