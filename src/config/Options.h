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
    // A receipt that no candidate server took in this many runs, or that is
    // this many days old and still failing, leaves Out/ for Undelivered/.
    int receiptMaxRuns = 10;  // [smtp] receipt_max_runs
    int receiptMaxDays = 3;   // [smtp] receipt_max_days
    // The longest one SMTP dialogue may take, in network timer ticks
    // (minutes); 0: one tick more than a single reply wait allows.
    int smtpDialogueMinutes = 0;  // [smtp] dialogue_minutes

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
