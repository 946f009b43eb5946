#pragma once
// Who may use the pages. The server prints its address with an access token;
// the first visit with the token gets a session cookie, later visits show the
// cookie. Every request must name this server in its Host header (a page of
// another site that got its name to resolve to this machine does not), a
// request from a page of another origin is refused, and a request that
// changes anything is a POST carrying the session's anti-forgery value.
#include <cstddef>
#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "companion/web/Http.h"
#include "platform/Clock.h"

namespace web {

// A fresh secret: `bytes` random bytes as lower-case hex.
std::string RandomSecret(std::size_t bytes = 24);

struct Session {
    std::string id;    // the cookie's value
    std::string csrf;  // the anti-forgery value its forms carry
    platform::SteadyTime lastSeen{};
};

class Access {
  public:
    // A session unused this long is forgotten; the token makes a new one.
    static constexpr platform::Millis kIdle{12LL * 3600 * 1000};
    // The most sessions kept; the one unused longest goes first.
    static constexpr std::size_t kMaxSessions = 32;

    // `hosts`: the names and ports under which this server may be reached.
    // `port` names the cookie, so that servers of two accounts on one
    // machine keep their own.
    Access(
        const platform::Clock& clock, std::string token, std::vector<HostPort> hosts, int port,
        std::function<std::string()> newSecret = [] { return RandomSecret(); });

    struct Verdict {
        std::optional<Response> answer;  // set: send this, the request goes no further
        const Session* session = nullptr;
    };
    // Checks a request before any page sees it.
    Verdict Check(const Request& req);

    const std::string& CookieName() const { return cookie_; }
    std::size_t SessionCount() const { return sessions_.size(); }

  private:
    bool HostAllowed(const Request& req) const;
    bool OriginAllowed(const Request& req) const;
    Verdict NewSession(const Request& req);
    void Forget(platform::SteadyTime now);

    const platform::Clock& clock_;
    std::string token_;
    std::vector<HostPort> hosts_;
    std::string cookie_;
    std::function<std::string()> newSecret_;
    std::map<std::string, Session> sessions_;
};

}  // namespace web
