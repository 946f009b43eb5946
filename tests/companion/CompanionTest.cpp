// The voxafax command against a temporary profile file and program folder,
// with fake voxafax-print scripts that write status keys as the real one does.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <spawn.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <thread>

#include "companion/Companion.h"
#include "platform/Files.h"
#include "platform/Profile.h"

extern char** environ;

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;

std::string Slurp(const std::string& path) {
    return platform::ReadWholeFile(path).value_or("");
}

void Spit(const std::string& path, const std::string& text) {
    fs::create_directories(fs::path(path).parent_path());
    std::ofstream(path, std::ios::binary) << text;
}

// Holds an exclusive flock on a file for the life of the object.
struct HeldLock {
    explicit HeldLock(const std::string& path) {
        fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_CLOEXEC, 0600);
        EXPECT_GE(fd, 0);
        EXPECT_EQ(::flock(fd, LOCK_EX), 0);
    }
    ~HeldLock() { Release(); }
    void Release() {
        if (fd >= 0) ::close(fd);
        fd = -1;
    }
    int fd = -1;
};

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
        // No CUPS scheduler: the printer list holds only folder printers.
        ::setenv("CUPS_SERVER", (dir_ + "/no-cups.sock").c_str(), 1);
    }
    void TearDown() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }

    // A fake voxafax-print: `body` runs under /bin/sh with $P the profile
    // file; `put TEXT` replaces the profile atomically, as the real writer does.
    std::string FakeProgram(const std::string& body) {
        std::string path = dir_ + "/voxafax-print";
        Spit(path, "#!/bin/sh\nP='" + env_.profilePath + "'\n" +
                       "put() { printf '%s' \"$1\" > \"$P.new\" && mv \"$P.new\" \"$P\"; }\n"
                       "echo \"$@\" > '" +
                       dir_ + "/args'\n" + body + "\n");
        ::chmod(path.c_str(), 0755);
        return path;
    }

    int Run(const std::string& program, const std::string& mode = "now",
            std::chrono::milliseconds grace = 5000ms) {
        companion::RunSettings s;
        s.program = program;
        s.pollInterval = 20ms;
        s.quitGrace = grace;
        out_.str("");
        err_.str("");
        return companion::CmdRun(env_, *companion::FindRunMode(mode), s, out_, err_);
    }

    int Setup(const std::string& answers) {
        std::istringstream in(answers);
        out_.str("");
        err_.str("");
        companion::Io io{in, out_, err_, false};
        return companion::CmdSetup(env_, io);
    }

    std::optional<std::string> Key(const std::string& file, const std::string& section,
                                   const std::string& key) {
        return platform::ini::Lookup(Slurp(file), section, key);
    }

    std::string dir_;
    platform::Environment env_;
    std::ostringstream out_, err_;
};

// ---- status ----------------------------------------------------------------

TEST_F(Companion, StatusShowsKeysSendLogAndQueue) {
    Spit(env_.profilePath,
         "[VOXA-FAX]\r\nVFPrint=quit\r\nprinting=0\r\nprint_status= Printed 3 VOXA-FAXes + 1 "
         "Regular Faxes\r\nlast_error=7\r\nsession=3,2,1,0\r\ntotals=0,0,0,0\r\n");
    Spit(env_.programFolder + "/account.ini",
         "[log]\nVersion=VOXA-FAX Print v 0.8.1\nSMTP_Type=MDN+_NOT_OK\nSMTP_Servers=a + b , \n"
         "SMTP_State=" +
             std::string(1000, 'x') + "END\n");
    Spit(env_.programFolder + "/Out/20240101120000.mdn", std::string(1234, 'r'));
    Spit(env_.programFolder + "/Out/20240101120500.mdn", "r");
    Spit(env_.programFolder + "/In/m1.eml", "x");

    std::ostringstream out;
    EXPECT_EQ(companion::CmdStatus(env_, {}, out), 0);
    std::string s = out.str();
    EXPECT_NE(s.find("Printed 3 VOXA-FAXes + 1 Regular Faxes"), std::string::npos) << s;
    EXPECT_NE(s.find("last_error    7"), std::string::npos) << s;
    EXPECT_NE(s.find("3 printed, 2 unprintable, 1 regular faxes"), std::string::npos) << s;
    EXPECT_NE(s.find("test_server   (not set)"), std::string::npos) << s;
    EXPECT_NE(s.find("MDN+_NOT_OK"), std::string::npos) << s;
    EXPECT_NE(s.find("Out: 2"), std::string::npos) << s;
    EXPECT_NE(s.find("1234  20240101120000.mdn"), std::string::npos) << s;
    EXPECT_NE(s.find("Downloaded messages not yet filed in the store: 1"), std::string::npos);
    EXPECT_NE(s.find("not running"), std::string::npos);
    EXPECT_NE(s.find("never sent again while Normal_EMail_Addr is empty"), std::string::npos);
    // The SMTP log grows through a run: only its end is shown unless asked.
    EXPECT_EQ(s.find(std::string(1000, 'x')), std::string::npos);
    EXPECT_NE(s.find("xEND"), std::string::npos);
    std::ostringstream full;
    EXPECT_EQ(companion::CmdStatus(env_, {true}, full), 0);
    EXPECT_NE(full.str().find(std::string(1000, 'x') + "END"), std::string::npos);
}

TEST_F(Companion, StatusSeesARunningProgramWithoutTakingItsLock) {
    std::string lock = env_.programFolder + "/voxafax-print.lock";
    {
        HeldLock held(lock);
        std::ostringstream out;
        EXPECT_EQ(companion::CmdStatus(env_, {}, out), 0);
        EXPECT_NE(out.str().find("running (process " + std::to_string(::getpid()) + ")"),
                  std::string::npos)
            << out.str();
    }
    std::ostringstream out;
    EXPECT_EQ(companion::CmdStatus(env_, {}, out), 0);
    EXPECT_NE(out.str().find("is not running"), std::string::npos);
    EXPECT_NE(out.str().find("missing: run voxafax setup"), std::string::npos);
}

TEST(CompanionSession, DescribesOnlyWellFormedSessionKeys) {
    EXPECT_EQ(companion::DescribeSession("1000,0,2,0"),
              "1000 printed, 0 unprintable, 2 regular faxes");
    EXPECT_EQ(companion::DescribeSession("1,2,3,"), "1 printed, 2 unprintable, 3 regular faxes");
    EXPECT_EQ(companion::DescribeSession("1,2,3"), "");
    EXPECT_EQ(companion::DescribeSession("a,2,3,0"), "");
    EXPECT_EQ(companion::DescribeSession(""), "");
}

// ---- run -------------------------------------------------------------------

TEST_F(Companion, RunShowsEachStatusLineAndTheTotals) {
    // The previous run's "quit" must not end the watch before the new run starts.
    Spit(env_.profilePath, "[VOXA-FAX]\nVFPrint=quit\nprint_status=old\nPrinter_Type=x\n");
    std::string prog = FakeProgram(
        "sleep 0.2\n"
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Starting VOXA-FAX Print\n'\n"
        "sleep 0.2\n"
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Connecting to EXAMPLE.TEST\n'\n"
        "sleep 0.2\n"
        "put '[VOXA-FAX]\nVFPrint=quit\nlast_error=\nprint_status= Printed 2 VOXA-FAXes + 0 "
        "Regular Faxes\nsession=2,1,0,0\n'\n");
    EXPECT_EQ(Run(prog), companion::kRunOk) << err_.str();
    std::string s = out_.str();
    auto a = s.find("  Starting VOXA-FAX Print\n");
    auto b = s.find("  Connecting to EXAMPLE.TEST\n");
    auto c = s.find("Finished: Printed 2 VOXA-FAXes + 0 Regular Faxes");
    ASSERT_NE(a, std::string::npos) << s;
    ASSERT_NE(b, std::string::npos) << s;
    ASSERT_NE(c, std::string::npos) << s;
    EXPECT_LT(a, b);
    EXPECT_LT(b, c);
    EXPECT_EQ(s.find("old"), std::string::npos);
    EXPECT_NE(s.find("2 printed, 1 unprintable, 0 regular faxes"), std::string::npos);
    EXPECT_NE(s.find("Last error: none"), std::string::npos);
    EXPECT_EQ(Slurp(dir_ + "/args"), "/0\n");
}

TEST_F(Companion, RunCatchesStatusLinesFasterThanItsPollInterval) {
    std::string body;
    for (int i = 1; i <= 5; ++i)
        body += "put '[VOXA-FAX]\nVFPrint=running\nprint_status=step " + std::to_string(i) +
                "\n'\nsleep 0.15\n";
    body += "put '[VOXA-FAX]\nVFPrint=quit\nprint_status=done\n'\n";
    std::string prog = FakeProgram(body);
    companion::RunSettings s;
    s.program = prog;
    s.pollInterval = 2000ms;
    EXPECT_EQ(companion::CmdRun(env_, *companion::FindRunMode("now"), s, out_, err_),
              companion::kRunOk);
    for (int i = 1; i <= 5; ++i)
        EXPECT_NE(out_.str().find("  step " + std::to_string(i) + "\n"), std::string::npos)
            << out_.str();
}

TEST_F(Companion, RunPassesEachModesSwitch) {
    std::string prog = FakeProgram("put '[VOXA-FAX]\nVFPrint=quit\nprint_status=done\n'");
    const std::pair<const char*, const char*> modes[] = {
        {"now", "/0"}, {"test", "/2"}, {"print-test", "/7"}, {"regular", "/1"}, {"mail", "/5"}};
    for (auto [mode, sw] : modes) {
        ::unlink(env_.profilePath.c_str());
        EXPECT_EQ(Run(prog, mode), companion::kRunOk) << mode << err_.str();
        EXPECT_EQ(Slurp(dir_ + "/args"), std::string(sw) + "\n");
    }
    EXPECT_FALSE(companion::FindRunMode("later"));
}

TEST_F(Companion, RunFailsOnLastErrorDeathEarlyEndAndSilence) {
    std::string prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=quit\nlast_error=Print Error : Fatal Printer "
        "Error\nprint_status= Printed 0 VOXA-FAXes + 0 Regular Faxes\n'");
    EXPECT_EQ(Run(prog), companion::kRunReportedError);
    EXPECT_NE(out_.str().find("Last error: Print Error : Fatal Printer Error"), std::string::npos);

    prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Checking Inbox for 2 new VOXA-FAXes\n'\n"
        "kill -9 $$");
    EXPECT_EQ(Run(prog), companion::kRunDied);
    EXPECT_NE(err_.str().find("killed by signal 9"), std::string::npos) << err_.str();
    EXPECT_NE(err_.str().find("Checking Inbox for 2 new VOXA-FAXes"), std::string::npos);

    // The printer check ends the program without its end keys.
    prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=running\nprint_status=Print Error : NO or BAD PRINTER "
        "CONFIGURED !\n'");
    EXPECT_EQ(Run(prog), companion::kRunReportedError);
    EXPECT_NE(err_.str().find("stopped before its end; its last status: Print Error : NO or BAD "
                              "PRINTER CONFIGURED !"),
              std::string::npos)
        << err_.str();

    prog = FakeProgram("exit 0");
    EXPECT_EQ(Run(prog), companion::kRunReportedError);
    EXPECT_NE(err_.str().find("without writing any status"), std::string::npos);

    prog = FakeProgram("put '[VOXA-FAX]\nVFPrint=quit\n'\nexit 4");
    EXPECT_EQ(Run(prog), companion::kRunDied);
    EXPECT_NE(err_.str().find("exit status 4"), std::string::npos);

    EXPECT_EQ(Run(dir_ + "/does-not-exist"), companion::kRunDied);
}

TEST_F(Companion, RunDoesNotStartASecondProgram) {
    std::string prog = FakeProgram("put '[VOXA-FAX]\nVFPrint=quit\n'");
    HeldLock held(env_.programFolder + "/voxafax-print.lock");
    EXPECT_EQ(Run(prog), companion::kRunDied);
    EXPECT_NE(err_.str().find("already running"), std::string::npos);
    EXPECT_FALSE(fs::exists(dir_ + "/args"));
}

TEST_F(Companion, RunStopsWatchingAfterQuitWhenTheProgramLingers) {
    std::string prog = FakeProgram(
        "put '[VOXA-FAX]\nVFPrint=running\n'\nsleep 0.1\n"
        "put '[VOXA-FAX]\nVFPrint=quit\nprint_status=done\n'\necho $$ > '" +
        dir_ + "/pid'\nexec sleep 30");
    auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(Run(prog, "now", 300ms), companion::kRunOk) << err_.str();
    EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
    EXPECT_NE(err_.str().find("has not ended"), std::string::npos);
    pid_t pid = std::atoi(Slurp(dir_ + "/pid").c_str());
    ASSERT_GT(pid, 0);
    ::kill(pid, SIGTERM);
    ::waitpid(pid, nullptr, 0);
}

// ---- setup -----------------------------------------------------------------

TEST_F(Companion, SetupWritesTheSettingsAndKeepsEverythingElse) {
    Spit(env_.profilePath,
         "; written by the scheduler\r\n[VOXA-FAX]\r\nwake_probes=3\r\nPassword=old\r\n"
         "[Other]\r\nx=1\r\n");
    Spit(env_.StoresIni(), "[Fax Store]\nmaildir = ~/Faxes   ; the faxes\n");
    // A bad address is asked again; a new folder printer is made.
    ASSERT_EQ(Setup("not-an-address\nfax1@example.test\nnewpass\n1\nFax PDF\n~/prints\n"
                    "Fax Store\n\nn\n"),
              0)
        << err_.str();
    const std::string p = env_.profilePath;
    EXPECT_EQ(Key(p, "VOXA-FAX", "Voxa_Fax_Addr"), "fax1@example.test");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Password"), "newpass");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Printer_Type"), "Fax PDF");
    EXPECT_EQ(Key(p, "VOXA-FAX", "VoxaFax_Profile"), "Fax Store");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Confirm_Receipt"), "n");
    EXPECT_EQ(Key(p, "VOXA-FAX", "wake_probes"), "3");
    EXPECT_EQ(Key(p, "Other", "x"), "1");
    std::string text = Slurp(p);
    EXPECT_EQ(text.rfind("; written by the scheduler\r\n", 0), 0u);
    EXPECT_EQ(text.find("\n", 0), text.find("\r\n", 0) + 1);  // CR LF kept
    EXPECT_EQ(Key(env_.PrintersIni(), "Fax PDF", "directory"), "~/prints");
    // The Maildir kept its value: its line and comment stay as written.
    EXPECT_EQ(Slurp(env_.StoresIni()), "[Fax Store]\nmaildir = ~/Faxes   ; the faxes\n");
    EXPECT_NE(err_.str().find("not an address"), std::string::npos);
    // The password is never echoed back.
    EXPECT_EQ(out_.str().find("[old]"), std::string::npos);
    EXPECT_NE(out_.str().find("Mailbox password [unchanged]"), std::string::npos);
}

TEST_F(Companion, SetupPicksInstalledPrintersAndKeepsDefaults) {
    Spit(env_.PrintersIni(), "[A4 PDF]\ndirectory = ~/a\n[Broken]\n[B PDF]\ndirectory = ~/b\n");
    Spit(env_.profilePath,
         "[VOXA-FAX]\nVoxa_Fax_Addr=me@example.test\nPassword=pw\n"
         "Printer_Type=B PDF\nUser_SMTP_Server=smtp.example.test\n");
    // All defaults: the configured printer is the default choice.
    ASSERT_EQ(Setup(""), 0) << err_.str();
    EXPECT_NE(out_.str().find("1) A4 PDF"), std::string::npos) << out_.str();
    EXPECT_NE(out_.str().find("2) B PDF"), std::string::npos);
    EXPECT_EQ(out_.str().find("Broken"), std::string::npos);
    EXPECT_NE(out_.str().find("Printer [2]"), std::string::npos);
    const std::string p = env_.profilePath;
    EXPECT_EQ(Key(p, "VOXA-FAX", "Printer_Type"), "B PDF");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Password"), "pw");
    EXPECT_EQ(Key(p, "VOXA-FAX", "VoxaFax_Profile"), "Windows Messaging Settings");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Confirm_Receipt"), "y");
    EXPECT_EQ(Key(p, "VOXA-FAX", "User_SMTP_Server"), "smtp.example.test");
    // Queued receipts need a sender: the service address unless one is given.
    EXPECT_EQ(Key(p, "VOXA-FAX", "Normal_EMail_Addr"), "me@example.test");
    EXPECT_EQ(Key(env_.StoresIni(), "Windows Messaging Settings", "maildir"), "~/Maildir");

    // By exact name; a name differing in case only is not that printer.
    ASSERT_EQ(Setup("\n\na4 pdf\nA4 PDF\n\n\ny\n-\nnot an address\nme@home.test\n"), 0)
        << err_.str();
    EXPECT_EQ(Key(p, "VOXA-FAX", "Printer_Type"), "A4 PDF");
    EXPECT_EQ(Key(p, "VOXA-FAX", "User_SMTP_Server"), "");
    EXPECT_EQ(Key(p, "VOXA-FAX", "Normal_EMail_Addr"), "me@home.test");
}

TEST_F(Companion, SetupWithoutAnAddressWritesNothing) {
    EXPECT_EQ(Setup("\n"), 1);
    EXPECT_NE(err_.str().find("nothing was written"), std::string::npos);
    EXPECT_FALSE(fs::exists(env_.profilePath));
    EXPECT_FALSE(fs::exists(env_.StoresIni()));
    EXPECT_EQ(Setup("a@b\n\n9\n9\n9\n"), 1);
    EXPECT_FALSE(fs::exists(env_.profilePath));
}

// The built command waits for the profile lock, and keys that another writer
// set while it waited survive its writes.
TEST_F(Companion, SetupWaitsForTheProfileLock) {
    const std::string bin = std::string(VOXAFAX_BINARY_DIR) + "/voxafax";
    ASSERT_EQ(::access(bin.c_str(), X_OK), 0) << bin;
    Spit(env_.profilePath, "[VOXA-FAX]\nwake_probes=1\n");
    Spit(env_.PrintersIni(), "[Fax PDF]\ndirectory=~/p\n");
    Spit(dir_ + "/answers", "fax@example.test\npw\n1\nS\n" + dir_ + "/md\nn\n");

    HeldLock held(env_.profilePath + ".lock");
    posix_spawn_file_actions_t fa;
    posix_spawn_file_actions_init(&fa);
    posix_spawn_file_actions_addopen(&fa, 0, (dir_ + "/answers").c_str(), O_RDONLY, 0);
    posix_spawn_file_actions_addopen(&fa, 1, "/dev/null", O_WRONLY, 0);
    std::string home = "VOXAFAX_HOME=" + env_.programFolder;
    std::string prof = "VOXAFAX_PROFILE=" + env_.profilePath;
    std::string cups = "CUPS_SERVER=" + dir_ + "/no-cups.sock";
    std::vector<char*> envp = {home.data(), prof.data(), cups.data(), nullptr};
    char arg0[] = "voxafax", arg1[] = "setup";
    char* argv[] = {arg0, arg1, nullptr};
    pid_t pid;
    ASSERT_EQ(::posix_spawn(&pid, bin.c_str(), &fa, nullptr, argv, envp.data()), 0);
    posix_spawn_file_actions_destroy(&fa);

    std::this_thread::sleep_for(500ms);
    EXPECT_EQ(::waitpid(pid, nullptr, WNOHANG), 0) << "setup did not wait for the lock";
    EXPECT_EQ(Slurp(env_.profilePath), "[VOXA-FAX]\nwake_probes=1\n");
    // What the lock holder writes meanwhile.
    Spit(env_.profilePath, "[VOXA-FAX]\nwake_probes=1\nprint_status=busy\n");
    held.Release();

    int status = 0;
    pid_t done = 0;
    for (int i = 0; i < 200 && done == 0; ++i) {
        std::this_thread::sleep_for(50ms);
        done = ::waitpid(pid, &status, WNOHANG);
    }
    if (done == 0) {
        ::kill(pid, SIGKILL);
        ::waitpid(pid, nullptr, 0);
    }
    ASSERT_EQ(done, pid) << "setup still waits after the lock was released";
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "print_status"), "busy");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "Voxa_Fax_Addr"), "fax@example.test");
    EXPECT_EQ(Key(env_.profilePath, "VOXA-FAX", "Printer_Type"), "Fax PDF");
}

// ---- command line ----------------------------------------------------------

TEST_F(Companion, CommandLineUsageAndHelp) {
    auto dispatch = [&](std::vector<std::string> args) {
        std::istringstream in;
        out_.str("");
        err_.str("");
        companion::Io io{in, out_, err_, false};
        return companion::Dispatch(args, env_, io);
    };
    EXPECT_EQ(dispatch({}), companion::kRunUsage);
    EXPECT_EQ(dispatch({"frobnicate"}), companion::kRunUsage);
    EXPECT_EQ(dispatch({"run", "sometime"}), companion::kRunUsage);
    EXPECT_EQ(dispatch({"status", "--bogus"}), companion::kRunUsage);
    EXPECT_EQ(dispatch({"help", "nope"}), companion::kRunUsage);
    EXPECT_EQ(dispatch({"--help"}), 0);
    EXPECT_NE(out_.str().find("setup"), std::string::npos);
    EXPECT_EQ(dispatch({"help", "run"}), 0);
    for (const auto& m : companion::RunModes()) {
        EXPECT_NE(out_.str().find(m.name), std::string::npos);
        EXPECT_NE(out_.str().find(m.sw), std::string::npos);
    }
    EXPECT_EQ(dispatch({"run", "--help"}), 0);
    EXPECT_NE(out_.str().find("Exit status"), std::string::npos);
    EXPECT_EQ(dispatch({"status"}), 0);
}

}  // namespace
