#pragma once
// Requests and responses as the pages see them, apart from the HTTP library:
// the server fills a Request from the library's view of the connection, the
// application answers with a Response, and the unit tests build both by hand.
// Also the decoders for what arrives as text (query strings, form bodies,
// cookies, Host and Origin) and the encoders for what leaves (HTML, JSON).
#include <map>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

namespace web {

using Fields = std::map<std::string, std::string>;

struct Request {
    std::string method;  // "GET", "POST", ...
    std::string path;    // without the query, "%xx" decoded by the server
    Fields query;        // decoded arguments of the query string
    Fields headers;      // names in lower case
    std::string body;    // the raw body of a POST (a form), at most kMaxBody bytes
    std::string Header(const std::string& lowerName) const;
    std::string Query(const std::string& name) const;
};

// The largest request body taken: forms here carry a few short fields.
inline constexpr std::size_t kMaxBody = 16 * 1024;

struct Response {
    int status = 200;
    std::string contentType = "text/html; charset=utf-8";
    std::string body;
    std::vector<std::pair<std::string, std::string>> headers;  // extra ones

    static Response Html(std::string body, int status = 200);
    static Response Text(int status, std::string body);
    static Response Json(std::string body);
    static Response Redirect(const std::string& location);  // 303: a GET follows a POST
};

// "%41" -> "A"; "+" is a blank when `plusIsBlank` (forms and queries). A bad
// escape ("%G1", a lone "%") stays as it is.
std::string UrlDecode(std::string_view s, bool plusIsBlank);
// Characters other than letters, digits and "-._~" as %XX.
std::string UrlEncode(std::string_view s);

// "a=1&b=two+words" as fields; the first of a repeated name wins, empty names
// are left out. At most `maxFields` fields are read.
Fields ParseForm(std::string_view body, std::size_t maxFields = 64);

// A Cookie header ("a=1; b=2") as fields; the first of a repeated name wins.
Fields ParseCookies(std::string_view header);

// The host and port of a Host header or of an Origin's authority, in a form
// fit for comparing: lower case, IPv6 in brackets, the port always present
// (`defaultPort` when the text has none). nullopt when it is not a host.
struct HostPort {
    std::string host;
    int port = 0;
    bool operator==(const HostPort&) const = default;
};
std::optional<HostPort> ParseHostHeader(std::string_view text, int defaultPort = 80);
// "http://host:port" (the only scheme this server speaks); nullopt for
// "null", another scheme, a path or anything else.
std::optional<HostPort> ParseOrigin(std::string_view text);

// Text for an HTML element or a quoted attribute.
std::string HtmlEscape(std::string_view s);
// A JSON string literal, quotes included; bytes that are not UTF-8 become U+FFFD.
std::string JsonString(std::string_view s);

// Equal without a timing that tells how much of a secret matched.
bool SameSecret(std::string_view a, std::string_view b);

}  // namespace web
