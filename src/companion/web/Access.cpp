#include "companion/web/Access.h"

#include <sys/random.h>

#include <algorithm>
#include <cstdio>

#include "companion/web/Pages.h"

namespace web {
namespace {

Response Refuse(int status, const std::string& title, const std::string& text) {
    return Response::Html(SimplePage(title, "<p>" + HtmlEscape(text) + "</p>"), status);
}

}  // namespace

std::string RandomSecret(std::size_t bytes) {
    std::string raw(bytes, '\0');
    std::size_t got = 0;
    while (got < bytes) {
        ssize_t n = ::getrandom(raw.data() + got, bytes - got, 0);
        if (n > 0) got += static_cast<std::size_t>(n);
        // getrandom fails only on EINTR here: the pool is ready on any
        // system that has booted.
    }
    std::string hex;
    for (unsigned char c : raw) {
        char buf[3];
        std::snprintf(buf, sizeof buf, "%02x", c);
        hex += buf;
    }
    return hex;
}

Access::Access(const platform::Clock& clock, std::string token, std::vector<HostPort> hosts,
               int port, std::function<std::string()> newSecret)
    : clock_(clock),
      token_(std::move(token)),
      hosts_(std::move(hosts)),
      cookie_("vfweb" + std::to_string(port)),
      newSecret_(std::move(newSecret)) {}

bool Access::HostAllowed(const Request& req) const {
    auto host = ParseHostHeader(req.Header("host"));
    return host && std::find(hosts_.begin(), hosts_.end(), *host) != hosts_.end();
}

// A browser names the page a request comes from in Origin (every POST, and
// scripts' requests) and tells in Sec-Fetch-Site whether it is this site.
bool Access::OriginAllowed(const Request& req) const {
    if (req.headers.count("origin")) {
        auto origin = ParseOrigin(req.Header("origin"));
        if (!origin || std::find(hosts_.begin(), hosts_.end(), *origin) == hosts_.end())
            return false;
    }
    const std::string site = req.Header("sec-fetch-site");
    return site.empty() || site == "same-origin" || site == "none";
}

void Access::Forget(platform::SteadyTime now) {
    for (auto it = sessions_.begin(); it != sessions_.end();)
        it = now - it->second.lastSeen >= kIdle ? sessions_.erase(it) : std::next(it);
    while (sessions_.size() >= kMaxSessions) {
        auto oldest = std::min_element(sessions_.begin(), sessions_.end(), [](auto& a, auto& b) {
            return a.second.lastSeen < b.second.lastSeen;
        });
        sessions_.erase(oldest);
    }
}

Access::Verdict Access::NewSession(const Request& req) {
    if (req.method != "GET" && req.method != "HEAD")
        return {Refuse(403, "Refused", "The access token opens the pages with a plain visit."),
                nullptr};
    if (!SameSecret(req.Query("token"), token_))
        return {Refuse(403, "Wrong token",
                       "This access token is not the one voxafax web printed when it started. "
                       "Open the address it printed, or run voxafax web --url."),
                nullptr};
    const platform::SteadyTime now = clock_.Now();
    Forget(now);
    Session s{newSecret_(), newSecret_(), now};
    sessions_[s.id] = s;
    // Back to the same page without the token, so that it stays out of the
    // browser's history and out of links copied from the address bar.
    Response r = Response::Redirect(req.path.empty() ? "/" : req.path);
    r.headers.emplace_back("Set-Cookie",
                           cookie_ + "=" + s.id + "; Path=/; HttpOnly; SameSite=Strict");
    return {r, nullptr};
}

Access::Verdict Access::Check(const Request& req) {
    if (!HostAllowed(req))
        return {
            Refuse(421, "Wrong address", "This server answers only under the address it printed."),
            nullptr};
    if (req.method != "GET" && req.method != "HEAD" && req.method != "POST")
        return {Response::Text(405, "GET and POST only\n"), nullptr};
    if (!OriginAllowed(req))
        return {Refuse(403, "Refused", "A request from another site's page is refused."), nullptr};
    if (req.query.count("token")) return NewSession(req);

    const Fields cookies = ParseCookies(req.Header("cookie"));
    auto c = cookies.find(cookie_);
    auto it = c == cookies.end() ? sessions_.end() : sessions_.find(c->second);
    const platform::SteadyTime now = clock_.Now();
    if (it != sessions_.end() && now - it->second.lastSeen >= kIdle) {
        sessions_.erase(it);
        it = sessions_.end();
    }
    if (it == sessions_.end())
        return {Refuse(401, "Token needed",
                       "Open the address that voxafax web printed, with its access token "
                       "(voxafax web --url prints it again)."),
                nullptr};
    it->second.lastSeen = now;
    if (req.method == "POST" && !SameSecret(ParseForm(req.body)["csrf"], it->second.csrf))
        return {Refuse(403, "Refused",
                       "This form is older than your session; load the page again and repeat."),
                nullptr};
    return {std::nullopt, &it->second};
}

}  // namespace web
