// The web pages' request handling without a socket: the decoders, the
// access checks (token, session, anti-forgery value, Host and Origin) on a
// manual clock, and the routes that change something, against a temporary
// program folder and profile file.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <unistd.h>

#include <cstdlib>

#include "companion/web/Access.h"
#include "companion/web/App.h"
#include "companion/web/Http.h"
#include "companion/web/Receipts.h"
#include "tests/support/TempDir.h"

namespace web {
namespace {

using testsupport::TempDir;
constexpr int kPort = 8786;
const char kToken[] = "0123456789abcdef0123456789abcdef";

Request Get(const std::string& path, const std::string& cookie = "") {
    Request r;
    r.method = "GET";
    r.path = path;
    r.headers["host"] = "127.0.0.1:8786";
    if (!cookie.empty()) r.headers["cookie"] = cookie;
    return r;
}

Request Post(const std::string& path, const std::string& cookie, const std::string& body) {
    Request r = Get(path, cookie);
    r.method = "POST";
    r.headers["origin"] = "http://127.0.0.1:8786";
    r.body = body;
    return r;
}

std::string HeaderOf(const Response& r, const std::string& name) {
    for (const auto& [n, v] : r.headers)
        if (n == name) return v;
    return {};
}

struct Guarded : ::testing::Test {
    platform::ManualClock clock;
    int secrets = 0;
    Access access{clock, kToken, {{"127.0.0.1", kPort}, {"localhost", kPort}}, kPort, [this] {
                      return "secret" + std::to_string(++secrets);
                  }};

    // Visits with the token; returns the Cookie header the browser sends next.
    std::string LogIn() {
        Request r = Get("/faxes");
        r.query["token"] = kToken;
        Access::Verdict v = access.Check(r);
        EXPECT_TRUE(v.answer.has_value());
        EXPECT_EQ(v.answer->status, 303);
        EXPECT_EQ(HeaderOf(*v.answer, "Location"), "/faxes");
        const std::string set = HeaderOf(*v.answer, "Set-Cookie");
        EXPECT_NE(set.find("HttpOnly"), std::string::npos);
        EXPECT_NE(set.find("SameSite=Strict"), std::string::npos);
        return set.substr(0, set.find(';'));
    }
    int StatusOf(const Request& r) {
        Access::Verdict v = access.Check(r);
        return v.answer ? v.answer->status : 200;
    }
};

TEST(WebDecoding, FormsQueriesAndCookies) {
    EXPECT_EQ(UrlDecode("a%20b+c%2Bd%", true), "a b c+d%");
    EXPECT_EQ(UrlDecode("%G1%4", false), "%G1%4");
    EXPECT_EQ(UrlDecode("a+b", false), "a+b");
    Fields f = ParseForm("csrf=x%3Dy&name=20260101.MDN&&=skip&name=second&flag");
    EXPECT_EQ(f["csrf"], "x=y");
    EXPECT_EQ(f["name"], "20260101.MDN");  // the first of a repeated name
    EXPECT_EQ(f.count(""), 0u);
    EXPECT_EQ(f["flag"], "");
    EXPECT_EQ(ParseForm("a=1&b=2&c=3", 2).size(), 2u);
    Fields c = ParseCookies(" vfweb8786=abc ; other=\"q\"; broken; =x; vfweb8786=later");
    EXPECT_EQ(c["vfweb8786"], "abc");
    EXPECT_EQ(c["other"], "q");
    EXPECT_EQ(c.size(), 2u);
    EXPECT_EQ(UrlEncode("a b/ü"), "a%20b%2F%C3%BC");
}

TEST(WebDecoding, HostAndOriginForms) {
    EXPECT_EQ(ParseHostHeader("LocalHost:8786"), (HostPort{"localhost", 8786}));
    EXPECT_EQ(ParseHostHeader("127.0.0.1"), (HostPort{"127.0.0.1", 80}));
    EXPECT_EQ(ParseHostHeader("[::1]:9"), (HostPort{"[::1]", 9}));
    for (const char* bad : {"", ":80", "a b:80", "host:0", "host:65536", "host:8x", "[::1",
                            "[zz]:1", "host:80:81", "evil.example@127.0.0.1"})
        EXPECT_FALSE(ParseHostHeader(bad)) << bad;
    EXPECT_EQ(ParseOrigin("http://127.0.0.1:8786"), (HostPort{"127.0.0.1", 8786}));
    for (const char* bad : {"null", "https://127.0.0.1:8786", "http://127.0.0.1:8786/x",
                            "http://u@127.0.0.1:8786", "file://"})
        EXPECT_FALSE(ParseOrigin(bad)) << bad;
}

TEST(WebDecoding, EscapedTextCannotBreakOut) {
    EXPECT_EQ(HtmlEscape("<b a=\"x\">&'"), "&lt;b a=&quot;x&quot;&gt;&amp;&#39;");
    EXPECT_EQ(JsonString("a\"\\\n\x01z"), "\"a\\\"\\\\\\u000a\\u0001z\"");
    EXPECT_EQ(JsonString("caf\xc3\xa9 \xff\xc0\x80"),
              "\"caf\xc3\xa9 \xEF\xBF\xBD\xEF\xBF\xBD\xEF\xBF\xBD\"");
    EXPECT_TRUE(SameSecret("abc", "abc"));
    EXPECT_FALSE(SameSecret("abc", "abd"));
    EXPECT_FALSE(SameSecret("abc", "abcd"));
    EXPECT_FALSE(SameSecret("", ""));
}

TEST_F(Guarded, TokenOpensASessionThatTheCookieCarries) {
    EXPECT_EQ(StatusOf(Get("/")), 401);
    Request wrong = Get("/");
    wrong.query["token"] = "0123456789abcdef0123456789abcdee";
    EXPECT_EQ(StatusOf(wrong), 403);
    const std::string cookie = LogIn();
    Access::Verdict v = access.Check(Get("/", cookie));
    ASSERT_FALSE(v.answer);
    EXPECT_EQ(v.session->csrf, "secret2");
    EXPECT_EQ(StatusOf(Get("/", "vfweb8786=secret9")), 401);
    // Another server's cookie (another port) is not this one's.
    EXPECT_EQ(StatusOf(Get("/", "vfweb8787=secret1")), 401);
}

TEST_F(Guarded, HostAndOriginMustNameThisServer) {
    const std::string cookie = LogIn();
    Request rebound = Get("/", cookie);
    rebound.headers["host"] = "attacker.example:8786";
    EXPECT_EQ(StatusOf(rebound), 421);
    rebound.headers["host"] = "127.0.0.1:8787";
    EXPECT_EQ(StatusOf(rebound), 421);
    rebound.headers.erase("host");
    EXPECT_EQ(StatusOf(rebound), 421);
    Request local = Get("/", cookie);
    local.headers["host"] = "localhost:8786";
    EXPECT_EQ(StatusOf(local), 200);

    const std::string body = "csrf=secret2";
    EXPECT_EQ(StatusOf(Post("/run", cookie, body)), 200);
    Request foreign = Post("/run", cookie, body);
    foreign.headers["origin"] = "http://attacker.example:8786";
    EXPECT_EQ(StatusOf(foreign), 403);
    foreign.headers["origin"] = "null";
    EXPECT_EQ(StatusOf(foreign), 403);
    Request crossSite = Post("/run", cookie, body);
    crossSite.headers["sec-fetch-site"] = "cross-site";
    EXPECT_EQ(StatusOf(crossSite), 403);
    // A GET image from another site's page: refused as well.
    Request img = Get("/thumb", cookie);
    img.headers["sec-fetch-site"] = "same-site";
    EXPECT_EQ(StatusOf(img), 403);
}

TEST_F(Guarded, PostNeedsTheSessionsOwnAntiForgeryValue) {
    const std::string first = LogIn();   // csrf secret2
    const std::string second = LogIn();  // csrf secret4
    EXPECT_EQ(StatusOf(Post("/run", first, "")), 403);
    EXPECT_EQ(StatusOf(Post("/run", first, "csrf=secret4")), 403);
    EXPECT_EQ(StatusOf(Post("/run", first, "csrf=secret2")), 200);
    EXPECT_EQ(StatusOf(Post("/run", second, "csrf=secret4")), 200);
    // The token cannot stand in for a session on a POST.
    Request tokenPost = Post("/run", "", "csrf=secret2");
    tokenPost.query["token"] = kToken;
    EXPECT_EQ(StatusOf(tokenPost), 403);
    Request put = Get("/", first);
    put.method = "PUT";
    EXPECT_EQ(StatusOf(put), 405);
}

TEST_F(Guarded, SessionsEndWhenIdleAndAreBounded) {
    const std::string cookie = LogIn();
    clock.Advance(Access::kIdle - platform::Millis(1000));
    EXPECT_EQ(StatusOf(Get("/", cookie)), 200);  // use keeps it alive
    clock.Advance(Access::kIdle - platform::Millis(1000));
    EXPECT_EQ(StatusOf(Get("/", cookie)), 200);
    clock.Advance(Access::kIdle);
    EXPECT_EQ(StatusOf(Get("/", cookie)), 401);

    const std::string oldest = LogIn();
    for (std::size_t i = 0; i < Access::kMaxSessions; ++i) {
        clock.Advance(platform::Millis(1000));
        (void)LogIn();
    }
    EXPECT_LE(access.SessionCount(), Access::kMaxSessions);
    EXPECT_EQ(StatusOf(Get("/", oldest)), 401);
}

// The routes against a program folder of files, on a real clock: a run is
// a child process.
struct Routes : ::testing::Test {
    TempDir dir;
    platform::SystemClock clock;
    platform::EventLoop loop{clock};
    Access access{clock, kToken, {{"127.0.0.1", kPort}}, kPort};
    std::unique_ptr<App> app;
    std::string cookie, csrf;

    void SetUp() override {
        Site site;
        site.env.programFolder = dir / "home";
        site.env.configDir = dir / "cfg";
        site.env.profilePath = dir / "cfg/voxafax.ini";
        site.printProgram = dir / "voxafax-print";
        site.systemctl = "";
        testsupport::WriteFile(site.printProgram, "#!/bin/sh\necho \"run $1\" >&2\necho done > " +
                                                      (dir / "ran") + "\n");
        ::chmod(site.printProgram.c_str(), 0755);
        ::mkdir(site.env.programFolder.c_str(), 0700);
        ::mkdir(site.env.configDir.c_str(), 0700);
        app = std::make_unique<App>(loop, site, access);
        Request r = Get("/");
        r.query["token"] = kToken;
        Response in = app->Handle(r);
        const std::string set = HeaderOf(in, "Set-Cookie");
        cookie = set.substr(0, set.find(';'));
        const std::string page = app->Handle(Get("/", cookie)).body;
        const std::size_t at = page.find("name=\"csrf\" value=\"");
        EXPECT_NE(at, std::string::npos);
        csrf = page.substr(at + 19, page.find('"', at + 19) - at - 19);
    }
    void WaitForJob() {
        for (int i = 0; i < 2000 && app->jobs().Busy(); ++i) loop.RunOnce(true);
    }
    void Queue(const std::string& folder, const std::string& name) {
        ::mkdir((dir / ("home/" + folder)).c_str(), 0700);
        testsupport::WriteFile(dir / ("home/" + folder + "/" + name),
                               "To: bob@example.net\r\nSubject: receipt\r\n\r\nbody\r\n.\r\n");
    }
};

TEST_F(Routes, StatusKeysAreShownEscaped) {
    testsupport::WriteFile(dir / "cfg/voxafax.ini",
                           "[VOXA-FAX]\nprint_status=<script>alert(1)</script>\nlast_error=7\n"
                           "Password=hunter2\n");
    const std::string page = app->Handle(Get("/", cookie)).body;
    EXPECT_NE(page.find("&lt;script&gt;alert(1)"), std::string::npos);
    EXPECT_EQ(page.find("<script>alert"), std::string::npos);
    EXPECT_NE(page.find("7 = The connection timed out"), std::string::npos);
    EXPECT_EQ(page.find("hunter2"), std::string::npos);
    const std::string json = app->Handle(Get("/now.json", cookie)).body;
    EXPECT_NE(json.find("\"print_status\":\"<script>alert(1)</script>\""), std::string::npos);
}

TEST_F(Routes, GetFaxesNowStartsOneRunAndShowsWhatItWrote) {
    EXPECT_EQ(app->Handle(Post("/run", cookie, "")).status, 403);
    EXPECT_FALSE(app->jobs().Last());
    Response r = app->Handle(Post("/run", cookie, "csrf=" + csrf));
    EXPECT_EQ(r.status, 303);
    ASSERT_TRUE(app->jobs().Busy());
    // A second press while it runs starts nothing.
    (void)app->Handle(Post("/run", cookie, "csrf=" + csrf));
    EXPECT_NE(app->Handle(Get("/", cookie)).body.find("still going"), std::string::npos);
    WaitForJob();
    ASSERT_FALSE(app->jobs().Busy());
    EXPECT_EQ(app->jobs().Last()->exitStatus, 0);
    EXPECT_EQ(testsupport::ReadFile(dir / "ran"), "done\n");
    const std::string json = app->Handle(Get("/now.json", cookie)).body;
    EXPECT_NE(json.find("\"lines\":[\"run /0\"]"), std::string::npos) << json;
    Request later = Get("/now.json", cookie);
    later.query["since"] = "1";
    EXPECT_NE(app->Handle(later).body.find("\"lines\":[]"), std::string::npos);
}

TEST_F(Routes, ReceiptsAreRequeuedAndDiscardedUnderTheProgramsLock) {
    Queue("Out", "20260101120000.MDN");
    Queue("Undelivered", "20251231100000.MDN.2");
    const std::string page = app->Handle(Get("/receipts", cookie)).body;
    EXPECT_NE(page.find("bob@example.net"), std::string::npos);
    EXPECT_NE(page.find("given up"), std::string::npos);

    // While a run holds the lock nothing moves.
    const int fd = ::open((dir / "home/voxafax-print.lock").c_str(), O_RDWR | O_CREAT, 0600);
    ASSERT_EQ(::flock(fd, LOCK_EX), 0);
    EXPECT_NE(RequeueReceipt(app->site().env, "20251231100000.MDN.2"), "");
    EXPECT_NE(DiscardReceipt(app->site().env, false, "20260101120000.MDN"), "");
    ::close(fd);

    // Back into Out/ under a queue name of its own, beside the one waiting there.
    EXPECT_EQ(RequeueReceipt(app->site().env, "20251231100000.MDN.2"), "");
    EXPECT_EQ(testsupport::NamesIn(dir / "home/Out"),
              (std::vector<std::string>{"20251231100000.MDN", "20260101120000.MDN"}));
    EXPECT_TRUE(testsupport::NamesIn(dir / "home/Undelivered").empty());

    EXPECT_EQ(app->Handle(Post("/receipts/discard", cookie,
                               "csrf=" + csrf + "&where=out&name=20260101120000.MDN"))
                  .status,
              303);
    EXPECT_EQ(testsupport::NamesIn(dir / "home/Out"),
              (std::vector<std::string>{"20251231100000.MDN"}));
    // Names that leave the folder are not names.
    EXPECT_NE(DiscardReceipt(app->site().env, false, "../cfg/voxafax.ini"), "");
    EXPECT_NE(DiscardReceipt(app->site().env, true, ".."), "");
}

TEST_F(Routes, SendAgainStartsARun) {
    Queue("Undelivered", "20251231100000.MDN");
    Response r = app->Handle(Post("/receipts/send", cookie,
                                  "csrf=" + csrf + "&where=undelivered&name=20251231100000.MDN"));
    EXPECT_EQ(HeaderOf(r, "Location"), "/");
    EXPECT_EQ(testsupport::NamesIn(dir / "home/Out"),
              (std::vector<std::string>{"20251231100000.MDN"}));
    WaitForJob();
    EXPECT_EQ(testsupport::ReadFile(dir / "ran"), "done\n");
}

}  // namespace
}  // namespace web
