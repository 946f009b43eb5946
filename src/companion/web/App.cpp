#include "companion/web/App.h"

#include <ctime>

#include "companion/Companion.h"
#include "companion/Files.h"
#include "companion/Outcome.h"
#include "companion/web/Pages.h"
#include "companion/web/Receipts.h"
#include "config/ExitStatus.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace web {
namespace {

// How often systemd is asked again about the timer.
constexpr platform::Millis kTimerEvery{60000};

struct Keys {
    std::string vfprint, printing, status, lastError, session, totals;
};

Keys ReadKeys(const platform::Environment& env) {
    const std::string text = platform::ReadWholeFile(env.profilePath).value_or("");
    auto get = [&](const char* k) {
        return platform::ini::Lookup(text, companion::kSection, k).value_or("");
    };
    return {get("VFPrint"),    get("printing"), platform::Trim(get("print_status"), " \t"),
            get("last_error"), get("session"),  get("totals")};
}

std::string RunningText(const platform::Environment& env) {
    if (auto pid = companion::RunningPid(env.programFolder + "/voxafax-print.lock"))
        return "voxafax-print is running (process " + std::to_string(*pid) + ")";
    return "voxafax-print is not running";
}

std::string Row(const std::string& term, const std::string& html) {
    return "<dt>" + HtmlEscape(term) + "</dt><dd>" + html + "</dd>";
}

std::string JobStateText(const Job* job) {
    if (!job) return "";
    if (job->running) return job->title + ": under way";
    const int st = job->exitStatus.value_or(127);
    return job->title + ": ended, exit status " +
           (job->kind == "run" ? companion::ExitInWords(st) : std::to_string(st));
}

std::string LastRunSection(const platform::Environment& env) {
    const auto rec = companion::ReadLastRun(companion::LastRunPath(env));
    if (!rec) return "<p class=\"muted\">No run has been recorded yet.</p>";
    std::string dl;
    dl += Row("Started", HtmlEscape(rec->started.empty() ? "(not recorded)" : rec->started) +
                             (rec->sw.empty() ? "" : ", switch " + HtmlEscape(rec->sw)));
    if (rec->state == "running") {
        dl += Row("State", "running, or ended without finishing");
    } else {
        if (!rec->ended.empty()) dl += Row("Ended", HtmlEscape(rec->ended));
        if (rec->durationMs)
            dl += Row("Took", HtmlEscape(companion::FormatDuration(*rec->durationMs)));
        const bool ok = rec->exitStatus && *rec->exitStatus == config::kExitOk;
        dl += Row("Exit status",
                  std::string("<span id=\"r-exit\" class=\"") + (ok ? "ok" : "bad") + "\">" +
                      HtmlEscape(rec->exitStatus ? companion::ExitInWords(*rec->exitStatus)
                                                 : "(not recorded)") +
                      "</span>");
        if (rec->exitStatus && !ok)
            dl += Row("What to do", HtmlEscape(companion::ExitHint(*rec->exitStatus, env)));
        dl += Row("Last error", HtmlEscape(companion::LastErrorInWords(rec->lastError)));
        if (!rec->figures.empty()) dl += Row("Figures", HtmlEscape(rec->figures));
    }
    std::string html = "<dl>" + dl + "</dl>";
    if (!rec->problems.empty()) {
        html += "<h2>Problems the run listed</h2><ul id=\"r-problems\">";
        for (const std::string& p : rec->problems) html += "<li>" + HtmlEscape(p) + "</li>";
        html += "</ul>";
    }
    return html;
}

}  // namespace

App::App(platform::EventLoop& loop, Site site, Access& access)
    : loop_(loop), site_(std::move(site)), access_(access), jobs_(loop), timerQuery_(loop) {
    timerQuery_.onEnd = [this](const Job& job) {
        std::string next, state;
        for (const std::string& line : job.lines) {
            if (line.starts_with("NextElapseUSecRealtime=")) next = line.substr(23);
            if (line.starts_with("ActiveState=")) state = line.substr(12);
        }
        if (job.exitStatus != 0 || state.empty())
            timerText_ = "systemd cannot tell (" + site_.timerUnit + ")";
        else if (state != "active")
            timerText_ = site_.timerUnit + " is " + state + " (systemctl --user enable --now " +
                         site_.timerUnit + " starts it)";
        else
            timerText_ = next.empty() ? "not planned" : next;
    };
    AskTimer();
}

App::~App() {
    if (timerAgain_) loop_.Cancel(timerAgain_);
}

void App::SetFaxPages(std::unique_ptr<FaxPages> faxes) {
    faxes_ = std::move(faxes);
}

void App::AskTimer() {
    if (site_.systemctl.empty()) {
        timerText_ = "systemd is not asked";
        return;
    }
    const std::string why =
        timerQuery_.Start("timer", "timer",
                          {site_.systemctl, "--user", "show", site_.timerUnit,
                           "--property=NextElapseUSecRealtime", "--property=ActiveState"});
    if (!why.empty() && !timerQuery_.Busy())
        timerText_ = "systemd cannot tell (" + site_.timerUnit + ")";
    timerAgain_ = loop_.After(kTimerEvery, [this] {
        timerAgain_ = 0;
        AskTimer();
    });
}

void App::SetNotice(const Session& s, std::string text, bool problem) {
    notices_[s.id] = {std::move(text), problem};
}

std::string App::TakeNotice(const Session& s, bool& problem) {
    auto it = notices_.find(s.id);
    if (it == notices_.end()) return {};
    std::string text = std::move(it->second.first);
    problem = it->second.second;
    notices_.erase(it);
    return text;
}

Response App::Handle(const Request& req) {
    // The look and the script are the same for everyone and hold nothing.
    if (req.method == "GET" && req.path == "/style.css") {
        Response r = Response::Text(200, kStyleCss);
        r.contentType = "text/css; charset=utf-8";
        return r;
    }
    if (req.method == "GET" && req.path == "/app.js") {
        Response r = Response::Text(200, kAppJs);
        r.contentType = "text/javascript; charset=utf-8";
        return r;
    }
    Access::Verdict v = access_.Check(req);
    if (v.answer) return *v.answer;
    return Route(req, *v.session);
}

Response App::Route(const Request& req, const Session& s) {
    const bool get = req.method == "GET" || req.method == "HEAD";
    if (get && req.path == "/") return NowPage(s);
    if (get && req.path == "/now.json") return NowJson(req);
    if (req.method == "POST" && req.path == "/run") return StartRun(s);
    if (get && req.path == "/receipts") return ReceiptsPage(s);
    if (req.method == "POST" && req.path.starts_with("/receipts/")) return ReceiptAction(req, s);
    if (faxes_) {
        Response r = faxes_->Handle(req, s, *this);
        if (r.status != 0) return r;
    } else if (get && req.path == "/faxes") {
        return Response::Html(
            FramedPage("Faxes", "faxes", "<h1>Faxes</h1><p>The mail store cannot be read.</p>"));
    }
    return Response::Html(SimplePage("Not found", "<p><a href=\"/\">Back to Now</a></p>"), 404);
}

std::string App::JobSection(const Session& s) {
    const Job* job = jobs_.Last();
    std::string html = "<h2>Get faxes now</h2><p>";
    html += PostButton("/run", "Get faxes now", s.csrf, {}, "", "big", "run-button");
    html += " <span class=\"muted\">starts one run as <code>voxafax run</code> does</span></p>";
    html += "<p id=\"job-state\">" + HtmlEscape(JobStateText(job)) + "</p>";
    html += "<pre class=\"log\" id=\"job-log\">";
    if (job)
        for (const std::string& line : job->lines) html += HtmlEscape(line) + "\n";
    return html + "</pre>";
}

Response App::NowPage(const Session& s) {
    const Keys k = ReadKeys(site_.env);
    bool problem = false;
    std::string html = Notice(TakeNotice(s, problem), problem);
    // The script asks for the job's lines after those this page shows.
    const Job* job = jobs_.Last();
    const std::size_t shown = job ? job->firstLine + job->lines.size() : 0;
    html += "<h1>Now</h1><div id=\"live\" data-busy=\"" + std::string(jobs_.Busy() ? "1" : "0") +
            "\" data-seen=\"" + std::to_string(static_cast<long long>(shown) - 1) + "\"><dl>";
    html +=
        Row("Program", "<span id=\"k-running\">" + HtmlEscape(RunningText(site_.env)) + "</span>");
    html +=
        Row("Status", "<span id=\"k-status\" class=\"big\">" + HtmlEscape(k.status) + "</span>");
    html += Row("VFPrint", "<span id=\"k-vfprint\">" + HtmlEscape(k.vfprint) + "</span>");
    html += Row("Printing", "<span id=\"k-printing\">" + HtmlEscape(k.printing) + "</span>");
    html += Row("Last error", "<span id=\"k-error\">" +
                                  HtmlEscape(companion::LastErrorInWords(k.lastError)) + "</span>");
    // A bare SMTP code left by a run that did its job: receipts wait.
    const std::string lastError = platform::Trim(k.lastError);
    if (!lastError.empty() && companion::LastErrorInWords(lastError) != lastError &&
        k.vfprint == "quit")
        html += Row("What to do",
                    "Receipts that no SMTP server took wait for the next run; "
                    "<a href=\"/receipts\">Receipts</a> shows them and what the "
                    "server answered.");
    const std::string session = companion::DescribeSession(k.session);
    html += Row("Session", HtmlEscape(session.empty() ? k.session : session));
    html += Row("Totals", HtmlEscape(k.totals));
    html += Row("Next run", "<span id=\"k-timer\">" + HtmlEscape(timerText_) + "</span>");
    html += "</dl></div>";
    html += JobSection(s);
    html += "<h2>Last run</h2>" + LastRunSection(site_.env);
    return Response::Html(FramedPage("Now", "now", html));
}

std::string App::ReprintForm(const Session& s, const std::string& id, const PrinterChoice& choice) {
    bool problem = false;
    std::string html = Notice(TakeNotice(s, problem), problem);
    html +=
        "<form method=\"post\" action=\"/reprint\"><input type=\"hidden\" name=\"csrf\" value=\"" +
        HtmlEscape(s.csrf) + "\"><input type=\"hidden\" name=\"id\" value=\"" + HtmlEscape(id) +
        "\"><select name=\"printer\">";
    for (const std::string& name : choice.names)
        html += "<option" + std::string(name == choice.configured ? " selected" : "") + ">" +
                HtmlEscape(name) + "</option>";
    html +=
        "</select> <button id=\"reprint-button\">Reprint</button> <span class=\"muted\">with "
        "the header page and images the run printed; nothing is filed, marked or answered "
        "again</span></form>";
    const Job* job = jobs_.Last();
    html +=
        "<div id=\"live\" data-busy=\"" + std::string(jobs_.Busy() ? "1" : "0") +
        "\" data-seen=\"" +
        std::to_string(job ? static_cast<long long>(job->firstLine + job->lines.size()) - 1 : -1) +
        "\"><p id=\"job-state\">" + HtmlEscape(JobStateText(job)) + "</p>";
    if (job && job->kind == "reprint") {
        html += "<pre class=\"log\" id=\"job-log\">";
        for (const std::string& line : job->lines) html += HtmlEscape(line) + "\n";
        html += "</pre>";
    }
    return html + "</div>";
}

void App::StartReprint(const Session& s, const std::string& id, const std::string& printer) {
    std::vector<std::string> argv = {site_.selfProgram, "reprint", id};
    if (!printer.empty()) argv.insert(argv.end(), {"--printer", printer});
    std::string why = site_.selfProgram.empty()
                          ? "this program cannot find itself to start a reprint"
                          : jobs_.Start("reprint", "Reprint", argv);
    SetNotice(s, why.empty() ? "The reprint has started." : why, !why.empty());
}

Response App::NowJson(const Request& req) {
    const Keys k = ReadKeys(site_.env);
    const Job* job = jobs_.Last();
    std::string lines = "[";
    long long last = -1;
    if (job) {
        const long long since = std::atoll(req.Query("since").c_str());
        const long long first = static_cast<long long>(job->firstLine);
        for (std::size_t i = 0; i < job->lines.size(); ++i) {
            const long long n = first + static_cast<long long>(i);
            if (n < since) continue;
            if (lines.size() > 1) lines += ",";
            lines += JsonString(job->lines[i]);
        }
        last = first + static_cast<long long>(job->lines.size()) - 1;
    }
    lines += "]";
    std::string body = "{\"print_status\":" + JsonString(k.status) +
                       ",\"vfprint\":" + JsonString(k.vfprint) +
                       ",\"printing\":" + JsonString(k.printing) +
                       ",\"running_text\":" + JsonString(RunningText(site_.env)) +
                       ",\"busy\":" + (jobs_.Busy() ? "true" : "false") +
                       ",\"job_state\":" + JsonString(JobStateText(job)) + ",\"lines\":" + lines +
                       ",\"last_line\":" + std::to_string(last) + "}";
    return Response::Json(body);
}

Response App::StartRun(const Session& s) {
    // The program's own lock decides in the end: a run that a timer starts
    // at this moment makes this one end at once with "another run".
    if (auto pid = companion::RunningPid(site_.env.programFolder + "/voxafax-print.lock")) {
        SetNotice(s,
                  "voxafax-print is already running (process " + std::to_string(*pid) +
                      "); its status shows here as it goes",
                  true);
        return Response::Redirect("/");
    }
    if (site_.printProgram.empty()) {
        SetNotice(s, "voxafax-print was found neither beside voxafax nor on PATH", true);
        return Response::Redirect("/");
    }
    const auto mode = companion::FindRunMode("now");
    std::string why = jobs_.Start("run", "Get faxes now", {site_.printProgram, mode->sw});
    SetNotice(s, why.empty() ? "A run has started." : why, !why.empty());
    return Response::Redirect("/");
}

Response App::ReceiptsPage(const Session& s) {
    bool problem = false;
    std::string html = Notice(TakeNotice(s, problem), problem);
    html +=
        "<h1>Receipts</h1><p class=\"muted\">Receipts wait in Out/ until an SMTP server takes "
        "them; each run sends them first. A receipt that no server took in several runs "
        "moves to Undelivered/.</p>";
    const auto all = ListWaitingReceipts(site_.env);
    if (all.empty())
        return Response::Html(FramedPage(
            "Receipts", "receipts", html + "<p id=\"no-receipts\">No receipt is waiting.</p>"));
    html +=
        "<table id=\"receipts\"><tr><th>Recipient</th><th>Where</th><th>Waiting since</th>"
        "<th>Tries</th><th>Last answer</th><th></th></tr>";
    const long long now = std::time(nullptr);
    for (const WaitingReceipt& r : all) {
        const std::string where = r.undelivered ? "undelivered" : "out";
        std::vector<std::pair<std::string, std::string>> f = {{"where", where}, {"name", r.name}};
        html += "<tr class=\"receipt\"><td>" +
                HtmlEscape(r.recipient.empty() ? "(no To: field)" : r.recipient) + "</td><td>" +
                (r.undelivered ? "Undelivered/" : "Out/") + "<br><span class=\"muted\">" +
                HtmlEscape(r.name) + "</span></td><td>" + HtmlEscape(LocalTime(r.since)) +
                "<br><span class=\"muted\">" + HtmlEscape(Ago(now - r.since)) + "</span></td><td>" +
                (r.undelivered ? "given up" : std::to_string(r.tries)) + "</td><td>" +
                HtmlEscape(r.lastWords.empty() ? "-" : r.lastWords) + "</td><td>" +
                PostButton("/receipts/send", "Send again now", s.csrf, f) + " " +
                PostButton("/receipts/discard", "Discard", s.csrf, f,
                           "Discard the receipt to " + r.recipient + "? It will never be sent.",
                           "plain") +
                "</td></tr>";
    }
    return Response::Html(FramedPage("Receipts", "receipts", html + "</table>"));
}

Response App::ReceiptAction(const Request& req, const Session& s) {
    const Fields form = ParseForm(req.body);
    auto field = [&](const char* n) {
        auto it = form.find(n);
        return it == form.end() ? std::string() : it->second;
    };
    const bool undelivered = field("where") == "undelivered";
    const std::string name = field("name");
    std::string why;
    if (req.path == "/receipts/discard") {
        why = DiscardReceipt(site_.env, undelivered, name);
        SetNotice(s, why.empty() ? "The receipt " + name + " is discarded." : why, !why.empty());
        return Response::Redirect("/receipts");
    }
    if (req.path != "/receipts/send") return Response::Text(404, "no such action\n");
    // Sending is a run's job: it sends what waits in Out/ before anything
    // else, with the servers, sender and records a run uses.
    if (jobs_.Busy()) why = "\"" + jobs_.Last()->title + "\" is still going; try when it has ended";
    if (why.empty() && undelivered) why = RequeueReceipt(site_.env, name);
    if (why.empty() && companion::RunningPid(site_.env.programFolder + "/voxafax-print.lock"))
        why = "voxafax-print is running; it sends the receipts waiting in Out/ at its start";
    if (why.empty()) why = jobs_.Start("run", "Send receipts again", {site_.printProgram, "/0"});
    SetNotice(s, why.empty() ? "A run has started to send the receipts waiting in Out/." : why,
              !why.empty());
    return Response::Redirect(why.empty() ? "/" : "/receipts");
}

}  // namespace web
