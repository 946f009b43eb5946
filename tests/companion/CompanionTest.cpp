// The voxafax command against a temporary profile file and program folder,
// with fake voxafax-print scripts that write status keys, log lines and the
// record of the last run as the real one does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <sstream>

#include "companion/Companion.h"
#include "companion/Outcome.h"
#include "companion/RunView.h"
#include "config/ProfileKeys.h"
#include "linux/maildir/MaildirStore.h"
#include "linux/printing/SystemPrinters.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "tests/fakes/FakeSocket.h"
#include "tests/support/TempDir.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using testsupport::ReadFile;

void Spit(const std::string& path, const std::string& text, mode_t mode = 0600) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
    ::chmod(path.c_str(), mode);
}

bool Has(const std::string& hay, const std::string& needle) {
    return hay.find(needle) != std::string::npos;
}

// Holds an exclusive flock on a file for the life of the object.
struct HeldLock {
    explicit HeldLock(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_EQ(::flock(fd, LOCK_EX), 0);
    }
    ~HeldLock() { Release(); }
    void Release() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd = -1;
};

// True once process pid waits for the flock on path (a "->" line of
// /proc/locks names the waiter and the file's inode); false if it ends or
// has not got there within ten seconds.
bool WaitsForLock(pid_t pid, const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return false;
    const std::string inode = ":" + std::to_string(st.st_ino) + " ";
    const std::string who = " " + std::to_string(pid) + " ";
    for (int tries = 0; tries < 2000; ++tries) {
        std::ifstream locks("/proc/locks");
        for (std::string line; std::getline(locks, line);)
            if (line.find("->") != std::string::npos && line.find(who) != std::string::npos &&
                line.find(inode) != std::string::npos)
                return true;
        if (::waitpid(pid, nullptr, WNOHANG) != 0) return false;
        ::poll(nullptr, 0, 5);
    }
    return false;
}

class Companion : public ::testing::Test {
  protected:
    void SetUp() override {
        char tmpl[] = "/tmp/voxafax-companion.XXXXXX";
        ASSERT_NE(::mkdtemp(tmpl), nullptr);
        dir_ = tmpl;
        env_.programFolder = dir_ + "/home";
        env_.profilePath = dir_ + "/cfg/voxafax.ini";
        env_.configDir = dir_ + "/cfg";
        fs::create_directories(env_.programFolder);
        fs::create_directories(env_.configDir);
        ::chmod(env_.programFolder.c_str(), 0700);
        // No CUPS scheduler: the printer list holds only folder printers.
        ::setenv("CUPS_SERVER", (dir_ + "/no-cups.sock").c_str(), 1);
        // Where check looks for the other accounts' profiles.
        ::setenv("XDG_CONFIG_HOME", (dir_ + "/xdg").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // A fake voxafax-print: `body` runs under /bin/sh with $P the profile
    // file and $R the record of the last run; `put TEXT` replaces the
    // profile atomically, as the real writer does.
    std::string FakeProgram(const std::string& body) {
        std::string path = dir_ + "/voxafax-print";
        Spit(path,
             "#!/bin/sh\nP='" + env_.profilePath + "'\nR='" + env_.programFolder +
                 "/last-run.ini'\n" +
                 "put() { printf '%s' \"$1\" > \"$P.new\" && mv \"$P.new\" \"$P\"; }\n"
                 "echo \"$@\" > '" +
                 dir_ + "/args'\n" + body + "\n",
             0755);
        return path;
    }

    int Run(const std::string& program, const std::string& mode = "now") {
        companion::RunSettings s;
        s.program = program;
        s.pollInterval = 20ms;
        out_.str("");
        err_.str("");
        return companion::CmdRun(env_, *companion::FindRunMode(mode), s, out_, err_);
    }

    companion::Services Services() {
        printers_ = platform::MakeSystemPrinters(env_.PrintersIni());
        auto maildirOf = [](const std::string& ini,
                            const std::string& profile) -> platform::Result<std::string> {
            auto p = platform::ReadStoreProfile(ini, profile);
            if (!p) return p.status();
            return p->maildir;
        };
        return {*printers_, sockets_, nullptr, maildirOf, {}};
    }

    int Setup(const std::string& answers, bool terminal = false) {
        std::istringstream in(answers);
        out_.str("");
        err_.str("");
        companion::Io io{in, out_, err_, terminal};
        auto services = Services();
        return companion::CmdSetup(env_, {true}, io, services);
    }

    int Check() {
        out_.str("");
        auto services = Services();
        return companion::CmdCheck(env_, {true}, out_, services);
    }

    std::optional<std::string> Key(const std::string& file, const std::string& section,
                                   const std::string& key) {
        return platform::ini::Lookup(ReadFile(file), section, key);
    }

    std::string dir_;
    platform::Environment env_;
    std::ostringstream out_, err_;
    std::unique_ptr<platform::Printers> printers_;
    platform::FakeSocketFactory sockets_;
};

// ---- status ----------------------------------------------------------------

TEST_F(Companion, StatusShowsTheLastRunTheKeysTheSendLogAndTheQueue) {
    Spit(env_.profilePath,
         "[VOXA-FAX]\r\nVFPrint=quit\r\nprinting=0\r\nprint_status= Printed 3 VOXA-FAXes + 1 "
         "Regular Faxes\r\nlast_error=5\r\nsession=3,2,1,0\r\ntotals=0,0,0,0\r\n");
    Spit(env_.programFolder + "/last-run.ini",
         "[run]\nstate=ended\npid=4242\nswitch=/0\nstarted=2026-12-06 10:15:00\n"
         "duration_ms=12345\nexit_status=0\nexit_meaning=ok\nlast_error=5\n"
         "messages_downloaded=3\nbytes_downloaded=1200000\nfaxes_printed=3\nreceipts_queued=1\n"
         "[problems]\n1=warning: receipt to bob@example.net queued: smtp.example.net:25 timed "
         "out after 120 s\n");
    Spit(env_.programFolder + "/account.ini",
         "[log]\nSMTP_Type=MDN+_NOT_OK\nSMTP_State=" + std::string(1000, 'x') + "END\n");
    Spit(env_.programFolder + "/Out/20240101120000.mdn", std::string(1234, 'r'));

    std::ostringstream out;
    EXPECT_EQ(companion::CmdStatus(env_, {}, out), 0);
    const std::string s = out.str();
    for (const char* want :
         {"started       2026-12-06 10:15:00, switch /0", "took          12.3 s",
          "exit status 0 (ok)", "5 = Unable to obtain an Internet Address for the server",
          "3 messages downloaded (1.2 MB), 3 faxes printed, 1 receipts waiting in Out/",
          "warning: receipt to bob@example.net queued", "3 printed, 2 unprintable, 1 regular",
          "test_server   (not set)", "MDN+_NOT_OK", "Out: 1", "1234  20240101120000.mdn",
          "never sent again while Normal_EMail_Addr is empty", "not running"})
        EXPECT_TRUE(Has(s, want)) << want << "\n" << s;
    EXPECT_FALSE(Has(s, "stale"));
    // The SMTP log grows through a run: only its end is shown unless asked.
    EXPECT_FALSE(Has(s, std::string(1000, 'x')));
    std::ostringstream full;
    EXPECT_EQ(companion::CmdStatus(env_, {true}, full), 0);
    EXPECT_TRUE(Has(full.str(), std::string(1000, 'x') + "END"));
}

TEST_F(Companion, StatusNamesKeysLeftByARunThatEndedEarly) {
    // The printer check ended the run: VFPrint and printing still say "a run
    // is under way".
    Spit(env_.profilePath,
         "[VOXA-FAX]\nVFPrint=running\nprinting=1\nprint_status=Print Error : NO or BAD "
         "PRINTER CONFIGURED !\n");
    Spit(env_.programFolder + "/last-run.ini",
         "[run]\nstate=ended\npid=77\nexit_status=3\nexit_meaning=config\n"
         "[problems]\n1=error: Printer_Type = x names no installed printer\n");
    std::ostringstream out;
    companion::CmdStatus(env_, {}, out);
    std::string s = out.str();
    EXPECT_TRUE(Has(s, "VFPrint       running   (stale: no run is in progress)")) << s;
    EXPECT_TRUE(Has(s, "printing      1   (stale: no run is in progress)")) << s;
    EXPECT_TRUE(Has(s,
                    "The keys VFPrint \"running\" and printing \"1\" are left from a run "
                    "that ended early"));
    EXPECT_TRUE(Has(s, "exit status 3 (config)"));
    EXPECT_TRUE(Has(s, "voxafax check names the setting"));

    // A record still saying "running" with no process holding the lock: killed.
    Spit(env_.programFolder + "/last-run.ini", "[run]\nstate=running\npid=77\n");
    out.str("");
    companion::CmdStatus(env_, {}, out);
    EXPECT_TRUE(Has(out.str(), "ended without finishing: process 77 was killed")) << out.str();

    // While a run holds the lock the same keys are its own.
    HeldLock held(env_.programFolder + "/voxafax-print.lock");
    out.str("");
    companion::CmdStatus(env_, {}, out);
    EXPECT_TRUE(Has(out.str(), "running (process " + std::to_string(::getpid()) + ")"));
    EXPECT_FALSE(Has(out.str(), "stale"));
}

// A run that failed without a word in last_error (a POP3 server that cannot
// be reached leaves it empty, as it always has) is told from its record; a
// profile that cannot be read is not called missing.
TEST_F(Companion, StatusAndCheckSayWhatLastErrorDoesNot) {
    Spit(env_.programFolder + "/last-run.ini",
         "[run]\nstate=ended\npid=77\nexit_status=5\nexit_meaning=server-unreachable\n"
         "last_error=\n[problems]\n1=warning: VOXAFAX_LOG = x is not quiet\n"
         "2=error: pop3 127.0.0.1:110: connection refused; check [pop3] port\n");
    fs::create_directories(env_.profilePath);  // cannot be read as a file
    std::ostringstream out;
    companion::CmdStatus(env_, {}, out);
    EXPECT_TRUE(Has(out.str(),
                    "last error    none in last_error; the run said: pop3 "
                    "127.0.0.1:110: connection refused"))
        << out.str();
    EXPECT_TRUE(Has(out.str(), env_.profilePath + " is unreadable: ")) << out.str();
    EXPECT_EQ(Check(), companion::kProblem);
    EXPECT_TRUE(Has(out_.str(), " is unreadable: ")) << out_.str();
    fs::remove(env_.profilePath);
    EXPECT_EQ(Check(), companion::kProblem);
    EXPECT_TRUE(Has(out_.str(), env_.profilePath + " is missing: run voxafax setup"));
}

// ---- run -------------------------------------------------------------------

// What a run that found no new fax writes: the same keys every time.
constexpr const char* kNothingNew =
    "put '[VOXA-FAX]\nVFPrint=running\nprint_status=No new VOXA-FAXes\n'\n"
    "put '[VOXA-FAX]\nVFPrint=quit\nprinting=0\nlast_error=\nprint_status= Printed 0 "
    "VOXA-FAXes + 0 Regular Faxes\nsession=0,0,0,0\n'\n"
    "printf '[run]\\nstate=ended\\npid=%s\\nexit_status=0\\nduration_ms=800\\n' $$ > \"$R\"\n";

TEST_F(Companion, TwoRunsWithNothingNewBothSucceed) {
    std::string prog = FakeProgram(kNothingNew);
    for (int i = 0; i < 2; ++i) {
        EXPECT_EQ(Run(prog), 0) << i << out_.str() << err_.str();
        EXPECT_TRUE(Has(out_.str(), "Finished: Printed 0 VOXA-FAXes + 0 Regular Faxes"))
            << out_.str();
        EXPECT_TRUE(Has(out_.str(), "Outcome: exit status 0 (ok)"));
        EXPECT_TRUE(Has(out_.str(), "Run: 800 ms; 0 messages downloaded"));
        EXPECT_EQ(err_.str(), "");
    }
    EXPECT_EQ(ReadFile(dir_ + "/args"), "/0\n");
}

TEST_F(Companion, RunShowsTheLogLinesAndTheOutcomeInWords) {
    std::string prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Connecting to MAIL.EXAMPLE.NET\n'\n"
        "echo 'voxafax-print: printed fax from alice@example.net \"Invoice\", 3 pages' >&2\n"
        "echo 'voxafax-print: error: pop3 mail.example.net:110: connection refused; check "
        "[pop3] host' >&2\n"
        "printf 'Yes or No? [y/N] ' >&2\n"
        "put '[VOXA-FAX]\nVFPrint=quit\nlast_error=5\nprint_status= Printed 1 VOXA-FAXes + 0 "
        "Regular Faxes\nsession=1,0,0,0\n'\n"
        "printf '[run]\\nstate=ended\\npid=%s\\nexit_status=5\\nlast_error=5\\n' $$ > \"$R\"\n"
        "exit 5");
    EXPECT_EQ(Run(prog), 5);
    const std::string e = err_.str(), o = out_.str();
    auto fax = e.find("printed fax from alice@example.net \"Invoice\", 3 pages\n");
    auto refused = e.find("error: pop3 mail.example.net:110: connection refused");
    ASSERT_NE(fax, std::string::npos) << e;
    ASSERT_NE(refused, std::string::npos) << e;
    EXPECT_LT(fax, refused);
    // A question without its line end is shown all the same.
    EXPECT_TRUE(Has(e, "Yes or No? [y/N] \n")) << e;
    EXPECT_TRUE(Has(o, "Last error: 5 = Unable to obtain an Internet Address for the server"));
    EXPECT_TRUE(Has(o,
                    "exit status 5 (server-unreachable): the POP3 server could not be "
                    "reached"))
        << o;
    EXPECT_TRUE(Has(o, "What to do: check [pop3] host, port and tls in " + env_.OptionsIni()));
    EXPECT_TRUE(Has(o, "Record: " + env_.programFolder + "/last-run.ini"));
}

TEST_F(Companion, RunPassesEachModesSwitch) {
    std::string prog = FakeProgram("put '[VOXA-FAX]\nVFPrint=quit\n'");
    const std::pair<const char*, const char*> modes[] = {
        {"now", "/0"}, {"test", "/2"}, {"print-test", "/7"}, {"regular", "/1"}, {"mail", "/5"}};
    for (auto [mode, sw] : modes) {
        EXPECT_EQ(Run(prog, mode), 0) << mode;
        EXPECT_EQ(ReadFile(dir_ + "/args"), std::string(sw) + "\n");
    }
    EXPECT_FALSE(companion::FindRunMode("later"));
}

TEST_F(Companion, RunReportsEarlyEndsKillsAndProgramsThatCannotRun) {
    // An early end: its keys, its status, and a record that is another run's.
    std::string prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Print Error : NO or BAD PRINTER "
        "CONFIGURED !\n'\nprintf '[run]\\nstate=ended\\npid=1\\nexit_status=0\\n' > \"$R\"\n"
        "exit 3");
    EXPECT_EQ(Run(prog), 3);
    EXPECT_TRUE(Has(out_.str(), "Stopped at: Print Error : NO or BAD PRINTER CONFIGURED !"));
    EXPECT_TRUE(Has(out_.str(), "exit status 3 (config)"));
    EXPECT_TRUE(Has(out_.str(), "wrote no record of this run")) << out_.str();

    prog = FakeProgram("put '[VOXA-FAX]\nVFPrint=running\n'\nkill -9 $$");
    EXPECT_EQ(Run(prog), companion::kKilledBase + SIGKILL);
    EXPECT_TRUE(Has(out_.str(), "ended by signal 9")) << out_.str();

    EXPECT_EQ(Run(dir_ + "/does-not-exist"), companion::kCannotStart);

    HeldLock held(env_.programFolder + "/voxafax-print.lock");
    ::unlink((dir_ + "/args").c_str());
    EXPECT_EQ(Run(prog), companion::kAnotherRun);
    EXPECT_TRUE(Has(err_.str(), "already running"));
    EXPECT_FALSE(fs::exists(dir_ + "/args"));
}

TEST(CompanionRunView, QuestionsShowWhenTheProgramFallsQuiet) {
    std::ostringstream screen;
    companion::RunView view(screen, screen, true);
    view.Status("Connecting to X");
    view.LogData("voxafax-print: downloaded 2 messages\n[VOXA-FAX Print] No profile\nYes or");
    // At a terminal the live status line is cleared for a log line, then drawn again.
    EXPECT_EQ(screen.str(),
              "\r\033[K  Connecting to X\r\033[Kvoxafax-print: downloaded 2 messages\n"
              "[VOXA-FAX Print] No profile\n\r\033[K  Connecting to X");
    view.LogData(" No? [y/N] ");
    EXPECT_FALSE(Has(screen.str(), "Yes or"));
    view.Quiet();
    EXPECT_TRUE(Has(screen.str(), "\r\033[KYes or No? [y/N] "));
    // The answer's line end comes from the terminal; the rest follows without
    // the status line over the question.
    screen.str("");
    view.LogData("\nnext\n");
    view.Finish();
    EXPECT_EQ(screen.str(), "\nnext\n\r\033[K  Connecting to X\r\033[K");
}

// ---- setup -----------------------------------------------------------------

TEST_F(Companion, SetupWritesTheSettingsAndKeepsEverythingElse) {
    Spit(env_.profilePath,
         "; written by the scheduler\r\n[VOXA-FAX]\r\nwake_probes=3\r\nPassword=old-secret\r\n"
         "[Other]\r\nx=1\r\n");
    Spit(env_.StoresIni(), "[Fax Store]\nmaildir = ~/Faxes   ; the faxes\n");
    Spit(env_.OptionsIni(), "; my options\n[smtp]\ntls = no\n");
    // Address (a bad one asked again), password, POP3 host/security/port/
    // logon, printer (new folder printer, name, folder), more than TIFF, text
    // pages, header style, store, Maildir, receipts, not through a provider,
    // SMTP server/TLS/port, return address, save.
    ASSERT_EQ(Setup("not-an-address\nfax1@example.test\nnewpass\npop.example.test\ntls\n\n\n"
                    "1\nFax PDF\n~/prints\ny\ny\nfull\nFax Store\n\ny\nn\nsmtp.example.test\nn\n"
                    "587\n\ny\n"),
              0)
        << err_.str() << out_.str();
    const std::string p = env_.profilePath;
    EXPECT_EQ(Key(p, "VOXA-FAX", "Voxa_Fax_Addr"), "fax1@example.test");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Password"), "newpass");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Printer_Type"), "Fax PDF");
    EXPECT_EQ(Key(p, "VOXA-FAX", "VoxaFax_Profile"), "Fax Store");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Confirm_Receipt"), "y");
    EXPECT_EQ(Key(p, "VOXA-FAX", "User_SMTP_Server"), "smtp.example.test");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Normal_EMail_Addr"), "fax1@example.test");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Print_Full_Header"), "y");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Print_Simple_Header"), "");
    EXPECT_EQ(Key(p, "VOXA-FAX", "wake_probes"), "3");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Use_Defaults"), "1");
    // The default 110 x 80 page does not fit A4 at 10 points (86 columns,
    // 66 lines), nor Letter (62 lines): a TAB and two header lines less does.
    EXPECT_EQ(Key(p, "VOXA-FAX", "chrs_per_line"), "78");
    EXPECT_EQ(Key(p, "VOXA-FAX", "lines_per_page"), "60");
    EXPECT_EQ(Key(p, "Other", "x"), "1");
    const std::string text = ReadFile(p);
    EXPECT_EQ(text.rfind("; written by the scheduler\r\n", 0), 0u);
    EXPECT_EQ(text.find('\n'), text.find("\r\n") + 1);  // CR LF kept
    const std::string o = env_.OptionsIni();
    EXPECT_EQ(Key(o, "pop3", "host"), "pop.example.test");
    EXPECT_EQ(Key(o, "pop3", "tls"), "yes");
    EXPECT_EQ(Key(o, "pop3", "port"), std::nullopt);  // 995 follows from TLS
    EXPECT_EQ(Key(o, "smtp", "port"), "587");
    EXPECT_EQ(Key(o, "print", "text_pages"), "yes");
    EXPECT_EQ(ReadFile(o).rfind("; my options\n", 0), 0u);
    EXPECT_EQ(Key(env_.PrintersIni(), "Fax PDF", "directory"), "~/prints");
    // The Maildir kept its value: its line and comment stay as written.
    EXPECT_EQ(ReadFile(env_.StoresIni()), "[Fax Store]\nmaildir = ~/Faxes   ; the faxes\n");
    EXPECT_TRUE(Has(err_.str(), "not an address"));
    // The password is never shown.
    EXPECT_FALSE(Has(out_.str(), "old-secret"));
    EXPECT_TRUE(Has(out_.str(), "Mailbox password [unchanged]"));
}

// Through the provider: the relay and its login go to options.ini, the
// login's password to a file of its own that only the user may read, never
// into the profile; STLS and another logon name for POP3.
TEST_F(Companion, SetupSendsThroughTheProviderWithThePasswordInAFileOfItsOwn) {
    Spit(env_.profilePath, "[VOXA-FAX]\nPassword=pop-secret\nUser_SMTP_Server=old.example\n");
    Spit(env_.OptionsIni(), "[smtp]\nport = 2525\n");
    ASSERT_EQ(Setup("fax1@example.test\n\npop.example.test\nstarttls\n\nfax1@example.test\n"
                    "1\nFax PDF\n~/prints\nn\nn\nFax Store\n\ny\n"
                    "y\nsmtp.provider.test\ny\nme@provider.test\nsmtp-secret\n\ny\n"),
              0)
        << err_.str() << out_.str();
    const std::string o = env_.OptionsIni();
    EXPECT_EQ(Key(o, "pop3", "tls"), "starttls");
    EXPECT_EQ(Key(o, "pop3", "port"), std::nullopt);  // 110 follows
    EXPECT_EQ(Key(o, "pop3", "user"), "fax1@example.test");
    EXPECT_EQ(Key(o, "smtp", "relay"), "smtp.provider.test");  // port 587 follows
    EXPECT_EQ(Key(o, "smtp", "user"), "me@provider.test");
    EXPECT_EQ(Key(o, "smtp", "port"), "2525");  // the candidates' port, as it was
    const std::string secret = env_.configDir + "/smtp-password";
    EXPECT_EQ(Key(o, "smtp", "password_file"), secret);
    EXPECT_EQ(ReadFile(secret), "smtp-secret\n");
    EXPECT_EQ(fs::status(secret).permissions() & fs::perms::all,
              fs::perms::owner_read | fs::perms::owner_write);
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "Password"), "pop-secret");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "User_SMTP_Server"), "old.example");
    EXPECT_FALSE(Has(ReadFile(env_.profilePath), "smtp-secret"));
    EXPECT_FALSE(Has(out_.str(), "smtp-secret"));
    // Text pages off: nothing is fitted to the sheet.
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "chrs_per_line"), std::nullopt);

    // The mailbox password for the login: no file is named any more.
    ASSERT_EQ(Setup("\n\n\n\n\n\n1\n\n\n\n\ny\ny\n\n\nother@provider.test\n\n\ny\n"), 0)
        << err_.str() << out_.str();
    EXPECT_TRUE(Has(out_.str(), "Password of that login [the mailbox password]"));
    EXPECT_EQ(Key(o, "smtp", "password_file"), "");
    EXPECT_EQ(Key(o, "smtp", "user"), "other@provider.test");

    // Back to a server of the profile's own: the relay's keys are emptied,
    // and the password file is left alone.
    ASSERT_EQ(Setup("\n\n\n\n\n\n1\n\n\n\n\ny\nn\nsmtp.example.test\n\n\n\ny\n"), 0)
        << err_.str() << out_.str();
    EXPECT_EQ(Key(o, "smtp", "relay"), "");
    EXPECT_EQ(Key(o, "smtp", "user"), "");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "User_SMTP_Server"), "smtp.example.test");
    EXPECT_TRUE(config::Options::Load(env_).problems.empty());
}

TEST_F(Companion, SetupKeepsDefaultsAndSavesOnlyWhatIsConfirmed) {
    Spit(env_.PrintersIni(), "[A4 PDF]\ndirectory = ~/a\n[Broken]\n[B PDF]\ndirectory = ~/b\n");
    const std::string before =
        "[VOXA-FAX]\nVoxa_Fax_Addr=me@example.test\nPassword=pw\nPrinter_Type=B PDF\n";
    Spit(env_.profilePath, before, 0644);
    // "n" to the last question, then the end of a person's input: nothing saved.
    EXPECT_EQ(Setup(std::string(16, '\n') + "n\n"), companion::kProblem);
    EXPECT_TRUE(Has(out_.str(), "Nothing was saved"));
    EXPECT_EQ(Setup("\n\n\n", true), companion::kProblem);
    EXPECT_TRUE(Has(err_.str(), "nothing was saved"));
    EXPECT_EQ(ReadFile(env_.profilePath), before);
    EXPECT_FALSE(fs::exists(env_.OptionsIni()));
    EXPECT_FALSE(fs::exists(env_.StoresIni()));

    // Script input that ends early: every further answer is its default.
    ASSERT_EQ(Setup(""), 0) << err_.str();
    struct stat st {};
    ASSERT_EQ(::stat(env_.profilePath.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds the password
    EXPECT_TRUE(Has(out_.str(), "1) A4 PDF"));
    EXPECT_TRUE(Has(out_.str(), "Printer [2]"));
    EXPECT_FALSE(Has(out_.str(), "Broken"));
    const std::string p = env_.profilePath;
    EXPECT_EQ(Key(p, "VOXA-FAX", "Printer_Type"), "B PDF");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Password"), "pw");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Confirm_Receipt"), "y");
    // Queued receipts need a sender: the service address unless one is given.
    EXPECT_EQ(Key(p, "VOXA-FAX", "Normal_EMail_Addr"), "me@example.test");
    EXPECT_EQ(Key(env_.StoresIni(), "Windows Messaging Settings", "maildir"), "~/Maildir");
    // The POP3 server is the address's domain and the ports are the
    // defaults: options.ini says only what differs.
    EXPECT_EQ(Key(env_.OptionsIni(), "pop3", "host"), std::nullopt);
    EXPECT_EQ(Key(env_.OptionsIni(), "pop3", "port"), std::nullopt);
    EXPECT_EQ(Key(env_.OptionsIni(), "pop3", "tls"), "no");
    EXPECT_EQ(Key(env_.OptionsIni(), "print", "text_pages"), "yes");
}

// The built command waits for the profile lock, and keys that another writer
// set while it waited survive its writes.
TEST_F(Companion, SetupWaitsForTheProfileLock) {
    const std::string bin = std::string(VOXAFAX_BINARY_DIR) + "/voxafax";
    ASSERT_EQ(::access(bin.c_str(), X_OK), 0) << bin;
    Spit(env_.profilePath, "[VOXA-FAX]\nwake_probes=1\n");
    Spit(env_.PrintersIni(), "[Fax PDF]\ndirectory=" + dir_ + "/p\n");
    Spit(dir_ + "/answers",
         "fax@example.test\npw\n\n\n\n\n1\n\n\n\nS\n" + dir_ + "/md\nn\nn\n-\ny\n");

    HeldLock held(env_.profilePath + ".lock");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, (dir_ + "/answers").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string home = "VOXAFAX_HOME=" + env_.programFolder;
    std::string prof = "VOXAFAX_PROFILE=" + env_.profilePath;
    std::string cups = "CUPS_SERVER=" + dir_ + "/no-cups.sock";
    std::vector<char*> envp = {home.data(), prof.data(), cups.data()};
    // A sanitizer build's settings reach the command too.
    const char* lsanOptions = std::getenv("LSAN_OPTIONS");
    std::string lsan = std::string("LSAN_OPTIONS=") + (lsanOptions ? lsanOptions : "");
    envp.push_back(lsan.data());
    envp.push_back(nullptr);
    char arg0[] = "voxafax", arg1[] = "setup", arg2[] = "--offline";
    char* argv[] = {arg0, arg1, arg2, nullptr};
    pid_t pid;
    ASSERT_EQ(::posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);

    // Setup waits for the lock, and writes nothing while it waits.
    ASSERT_TRUE(WaitsForLock(pid, env_.profilePath + ".lock"));
    EXPECT_EQ(ReadFile(env_.profilePath), "[VOXA-FAX]\nwake_probes=1\n");
    // What the lock holder writes meanwhile.
    Spit(env_.profilePath, "[VOXA-FAX]\nwake_probes=1\nprint_status=busy\n");
    held.Release();

    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "print_status"), "busy");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "Voxa_Fax_Addr"), "fax@example.test");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "Printer_Type"), "Fax PDF");
}

// ---- check -----------------------------------------------------------------

TEST_F(Companion, CheckFindsMisspeltKeysAndValuesReadDifferently) {
    Spit(env_.PrintersIni(), "[Fax PDF]\ndirectory=" + dir_ + "/prints\n");
    Spit(env_.StoresIni(), "[Faxes]\nmaildir=" + dir_ + "/Maildir\n");
    Spit(env_.OptionsIni(), "[print]\ntext_pages=yes\n[pop3]\nport=11110\n");
    const std::string good =
        "[VOXA-FAX]\nVoxa_Fax_Addr=fax1@127.0.0.1\nPassword=pw\nPrinter_Type=Fax PDF\n"
        "VoxaFax_Profile=Faxes\nUse_Defaults=1\nConfirm_Receipt=y\nNormal_EMail_Addr=a@b.c\n";
    Spit(env_.profilePath, good);
    EXPECT_EQ(Check(), companion::kOk) << out_.str();
    EXPECT_TRUE(Has(out_.str(), "No problem found."));

    Spit(env_.profilePath,
         "[VOXA-FAX]\nVoxa_Fax_Addr=fax1@mail.example.net\nPassword=pw\nPrinter_Type=fax pdf\n"
         "VoxaFax_Profile=Faxez\nConfirm_Receipt = yes\ngeneral_timeout=3\n"
         "Print_File_Types=tif, tiff\nSave_MDNs=y ; keep\nPassword=pw2\n",
         0644);
    Spit(env_.OptionsIni(), "[pop3]\ntls=ja\nhots=x\n");
    EXPECT_EQ(Check(), companion::kProblem);
    const std::string s = out_.str();
    for (const char* want :
         {"general_timeout is not a key voxafax-print reads; did you mean general_timout? "
          "(voxafax.ini line 7)",
          "Confirm_Receipt = yes is read as off (voxafax.ini line 6): only a lower-case y turns "
          "it on; write Confirm_Receipt=y",
          "Print_File_Types entry \" tiff\" has a blank",
          "Save_MDNs = y ; keep (voxafax.ini line 9): in this file a comment",
          "Password is set again (voxafax.ini line 10); voxafax-print reads only the first, "
          "line 3\n",
          "\"Fax PDF\" differs in letter case only", "names no profile in", "(profiles: \"Faxes\")",
          "[pop3] tls = ja in ", "is neither yes, no nor starttls; correct or remove it",
          "did you mean [pop3] host?",
          "(mode 644) holds the mailbox password, but others may read it: chmod 600",
          "the password goes to mail.example.net in clear"})
        EXPECT_TRUE(Has(s, want)) << want << "\n" << s;
    EXPECT_FALSE(Has(s, "pw2"));  // a password is never shown
}

// A copied configuration: another account's profile (where the
// per-account timer reads it) with the same mailbox and the same store.
TEST_F(Companion, CheckNamesAnotherProfileOnTheSameMailboxOrStore) {
    const std::string office = dir_ + "/xdg/voxafax/office";
    fs::create_directories(office);
    const std::string profile = "[VOXA-FAX]\nVoxa_Fax_Addr=Fax1@example.test\nVoxaFax_Profile=S\n";
    Spit(env_.profilePath, profile);
    Spit(env_.StoresIni(), "[S]\nmaildir = " + dir_ + "/md/\n");
    Spit(office + "/voxafax.ini", profile);
    Spit(office + "/stores.ini", "[s]\nmaildir = " + dir_ + "/md\n");
    Spit(office + "/options.ini", "[pop3]\nhost = EXAMPLE.test\n");
    Check();
    EXPECT_TRUE(Has(out_.str(), "the mailbox fax1 at example.test is also fetched by " + office +
                                    "/voxafax.ini"))
        << out_.str();
    EXPECT_TRUE(Has(out_.str(), "the store " + dir_ + "/md is also used by " + office));
    // Another mailbox and another store: nothing shared.
    Spit(office + "/options.ini", "[pop3]\nuser = fax2\n");
    Spit(office + "/stores.ini", "[S]\nmaildir = " + dir_ + "/md2\n");
    Check();
    EXPECT_TRUE(Has(out_.str(), "no other profile shares the mailbox or the store")) << out_.str();
}

TEST_F(Companion, CheckTakesEachFlagAsTheProgramReadsIt) {
    // Every flag set the way that turns it on: none is reported.
    std::string all = "[VOXA-FAX]\n";
    for (const config::ProfileKey& k : config::ProfileKeys())
        if (k.flag) all += std::string(k.name) + "=y\n";
    Spit(env_.profilePath, all);
    Check();
    EXPECT_FALSE(Has(out_.str(), "read as off")) << out_.str();
    // "Y" turns on the flags read without regard to case only.
    Spit(env_.profilePath, "[VOXA-FAX]\nPrint_Simple_Header=Y\nSave_MDNs=Y\n");
    Check();
    EXPECT_FALSE(Has(out_.str(), "Print_Simple_Header")) << out_.str();
    EXPECT_TRUE(Has(out_.str(), "Save_MDNs = Y is read as off"));
}

// ---- command line ----------------------------------------------------------

TEST_F(Companion, CommandLineUsageAndHelp) {
    auto services = Services();
    auto dispatch = [&](std::vector<std::string> args) {
        std::istringstream in;
        out_.str("");
        err_.str("");
        companion::Io io{in, out_, err_, false};
        return companion::Dispatch(args, env_, io, services);
    };
    for (std::vector<std::string> bad : {std::vector<std::string>{},
                                         {"frobnicate"},
                                         {"run", "sometime"},
                                         {"status", "--bogus"},
                                         {"check", "--online"},
                                         {"help", "nope"}})
        EXPECT_EQ(dispatch(bad), companion::kUsage);
    EXPECT_EQ(dispatch({"--help"}), 0);
    EXPECT_TRUE(Has(out_.str(), "check [--offline]"));
    EXPECT_EQ(dispatch({"help", "run"}), 0);
    for (const auto& m : companion::RunModes()) EXPECT_TRUE(Has(out_.str(), m.sw));
    EXPECT_EQ(dispatch({"check", "--help"}), 0);
    EXPECT_TRUE(Has(out_.str(), "Exit status"));
}

}  // namespace
