#include "config/ExitStatus.h"

namespace config {
namespace {

constexpr ExitKind kExits[] = {
    {RunFailure::None, "ok", "the run did its job", ""},
    {RunFailure::Internal, "internal", "an unexpected internal failure",
     "the lines above say what failed"},
    {RunFailure::Usage, "usage", "voxafax-print refused its command line",
     "voxafax help run lists the modes"},
    {RunFailure::Config, "config", "a setting is missing or wrong",
     "voxafax check names the setting and the file; voxafax setup changes it"},
    {RunFailure::AnotherRun, "another-run", "another voxafax-print was running",
     "voxafax status shows the run in progress; try again when it has ended"},
    {RunFailure::ServerUnreachable, "server-unreachable", "the POP3 server could not be reached",
     "check [pop3] host, port and tls in {options} (voxafax check tries the connection)"},
    {RunFailure::LogonRefused, "logon-refused", "the POP3 server refused the user or the password",
     "check Voxa_Fax_Addr and Password in {profile} (voxafax setup)"},
    {RunFailure::Retrieval, "retrieval", "the POP3 session failed part-way",
     "the mail stays on the server and the next run fetches it again; the lines above say what "
     "the server answered"},
    {RunFailure::Storage, "storage", "a message could not be converted or stored",
     "check the Maildir of the store (stores.ini) and the free disk space; messages not stored "
     "wait in {home}/In"},
    {RunFailure::Printing, "printing", "the printer failed",
     "check the printer (voxafax check; lpstat -p for a CUPS printer); the faxes stay in the "
     "inbox and print at the next run"},
    {RunFailure::SendFailed, "send-failed", "the test message reached no SMTP server",
     "check User_SMTP_Server and [smtp] in {options}; voxafax status --full shows the SMTP "
     "dialogue"},
    {RunFailure::Stopped, "stopped", "the run was stopped (SIGTERM) before it finished",
     "nothing is lost: the next run goes on where this one stopped"},
};

}  // namespace

const ExitKind* FindExitStatus(int status) {
    for (const ExitKind& k : kExits)
        if (ExitStatusOf(k.failure) == status) return &k;
    return nullptr;
}

const char* ExitMeaning(int status) {
    const ExitKind* k = FindExitStatus(status);
    return k ? k->name : "internal";
}

}  // namespace config
