#pragma once
// The pages and what they do, behind the access checks: request in,
// response out, nothing here knows the HTTP library.
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "companion/web/Access.h"
#include "companion/web/Http.h"
#include "companion/web/Jobs.h"
#include "platform/Environment.h"
#include "platform/EventLoop.h"

namespace web {

class FaxPages;

// The printers a reprint may go to, and the configured one.
struct PrinterChoice {
    std::vector<std::string> names;
    std::string configured;
};

struct Site {
    platform::Environment env;
    std::string printProgram;  // voxafax-print, for "Get faxes now"
    std::string selfProgram;   // voxafax, for a reprint in a child of its own
    std::string timerUnit = "voxafax-print.timer";
    std::string systemctl = "systemctl";  // "" when systemd is not to be asked
};

class App {
  public:
    App(platform::EventLoop& loop, Site site, Access& access);
    ~App();

    Response Handle(const Request& req);

    // The faxes' pages (they need the mail store and the printers).
    void SetFaxPages(std::unique_ptr<FaxPages> faxes);

    Jobs& jobs() { return jobs_; }
    const Site& site() const { return site_; }
    // What systemd says of the timer's next run ("" before it has answered).
    const std::string& TimerText() const { return timerText_; }
    // Asks systemd about the timer again (in the background).
    void AskTimer();

    // The reprint form of a fax's page, with the job's state when one runs.
    std::string ReprintForm(const Session& s, const std::string& id, const PrinterChoice& choice);
    // Starts `voxafax reprint ID` as a job; the notice says how it went.
    void StartReprint(const Session& s, const std::string& id, const std::string& printer);

  private:
    Response Route(const Request& req, const Session& s);
    Response NowPage(const Session& s);
    Response NowJson(const Request& req);
    Response StartRun(const Session& s);
    Response ReceiptsPage(const Session& s);
    Response ReceiptAction(const Request& req, const Session& s);
    std::string TakeNotice(const Session& s, bool& problem);
    void SetNotice(const Session& s, std::string text, bool problem);
    std::string JobSection(const Session& s);

    platform::EventLoop& loop_;
    Site site_;
    Access& access_;
    Jobs jobs_;
    Jobs timerQuery_;
    std::string timerText_;
    platform::TimerId timerAgain_ = 0;
    std::unique_ptr<FaxPages> faxes_;
    // What the last action of each session came to, shown once on the page
    // it leads to.
    std::map<std::string, std::pair<std::string, bool>> notices_;
};

// The page a fax request leads to is in FaxPages; it answers the routes
// that begin with /fax and /thumb, and /reprint.
class FaxPages {
  public:
    virtual ~FaxPages() = default;
    // nullopt-like: status 0 when the route is not its own.
    virtual Response Handle(const Request& req, const Session& s, App& app) = 0;
};

}  // namespace web
