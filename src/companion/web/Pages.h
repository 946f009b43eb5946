#pragma once
// The frame every page shares (title, the bar of pages, the style sheet and
// the script), and the small pieces of HTML the pages repeat.
#include <string>
#include <utility>
#include <vector>

namespace web {

// The style sheet and the script, served as /style.css and /app.js.
extern const char kStyleCss[];
extern const char kAppJs[];

// A page outside the frame: for refusals, before there is a session.
std::string SimplePage(const std::string& title, const std::string& bodyHtml);

// A page of the site; `active` names the bar's entry to highlight ("now",
// "faxes", "receipts").
std::string FramedPage(const std::string& title, const std::string& active,
                       const std::string& bodyHtml);

// A form of one button that POSTs `fields` (and the anti-forgery value) to
// `action`. `confirm`: a question the browser asks first ("" for none).
std::string PostButton(const std::string& action, const std::string& label, const std::string& csrf,
                       const std::vector<std::pair<std::string, std::string>>& fields = {},
                       const std::string& confirm = "", const std::string& cls = "",
                       const std::string& id = "");

// A notice at the top of a page: what an action came to.
std::string Notice(const std::string& text, bool problem);

// "3 min ago", "2 h ago", "5 days ago".
std::string Ago(long long seconds);
// Local time as "2026-05-12 14:03".
std::string LocalTime(long long unixSeconds);

}  // namespace web
