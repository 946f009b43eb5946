#include "companion/web/Pages.h"

#include <ctime>

#include "companion/web/Http.h"

namespace web {

// Small on purpose: every page loads it, and it is the whole look.
const char kStyleCss[] = R"css(
:root{--ink:#1d2430;--muted:#5b6575;--line:#d9dee6;--bg:#f6f7f9;--ok:#17643a;--bad:#a32020;--acc:#1f5fbf}
*{box-sizing:border-box}
body{margin:0;font:15px/1.45 system-ui,sans-serif;color:var(--ink);background:var(--bg)}
header{background:#fff;border-bottom:1px solid var(--line);padding:.6rem 1.2rem;display:flex;gap:1.4rem;align-items:baseline}
header b{font-size:1.05rem}
nav a{margin-right:1rem;color:var(--muted);text-decoration:none;padding-bottom:.2rem}
nav a.on{color:var(--ink);border-bottom:2px solid var(--acc)}
main{padding:1rem 1.2rem;max-width:72rem}
h1{font-size:1.3rem;margin:.2rem 0 1rem}
h2{font-size:1.05rem;margin:1.4rem 0 .5rem}
table{border-collapse:collapse;background:#fff;width:100%}
th,td{text-align:left;padding:.35rem .6rem;border-bottom:1px solid var(--line);vertical-align:top}
th{color:var(--muted);font-weight:600;font-size:.85rem}
dl{display:grid;grid-template-columns:max-content 1fr;gap:.3rem 1rem;background:#fff;padding:.8rem 1rem;border:1px solid var(--line);margin:0}
dt{color:var(--muted)}dd{margin:0}
.ok{color:var(--ok)}.bad{color:var(--bad)}.muted{color:var(--muted)}
.notice{padding:.6rem 1rem;border:1px solid var(--line);background:#fff;margin-bottom:1rem}
.notice.bad{border-color:var(--bad)}
button{font:inherit;padding:.35rem .9rem;border:1px solid var(--acc);background:var(--acc);color:#fff;border-radius:4px;cursor:pointer}
button.plain{background:#fff;color:var(--acc)}
button:disabled{opacity:.5;cursor:default}
form.inline{display:inline}
pre.log{background:#111820;color:#dfe6ee;padding:.6rem .8rem;max-height:22rem;overflow:auto;font-size:.8rem;white-space:pre-wrap}
.thumb{width:96px;height:124px;object-fit:contain;background:#fff;border:1px solid var(--line)}
.page{max-width:100%;background:#fff;border:1px solid var(--line);margin:.4rem 0 1rem;display:block}
.pager{margin:1rem 0}.pager a{margin-right:1rem}
.big{font-size:1.15rem}
)css";

// Progressive: the pages work without it; with it the Now page follows a
// run's status texts as they change and the action buttons say they work.
const char kAppJs[] = R"js(
(function(){
  document.querySelectorAll('form[data-confirm]').forEach(function(f){
    f.addEventListener('submit',function(e){if(!confirm(f.dataset.confirm))e.preventDefault();});
  });
  document.querySelectorAll('form').forEach(function(f){
    f.addEventListener('submit',function(){var b=f.querySelector('button');if(b){setTimeout(function(){b.disabled=true;},0);}});
  });
  var live=document.getElementById('live');
  if(!live)return;
  var seen=parseInt(live.dataset.seen||'-1',10),wasBusy=live.dataset.busy==='1';
  function set(id,text){var e=document.getElementById(id);if(e&&e.textContent!==text)e.textContent=text;}
  function tick(){
    fetch('/now.json?since='+(seen+1),{credentials:'same-origin',cache:'no-store'}).then(function(r){return r.json();}).then(function(s){
      set('k-status',s.print_status);set('k-vfprint',s.vfprint);set('k-printing',s.printing);
      set('k-running',s.running_text);set('job-state',s.job_state);
      var log=document.getElementById('job-log');
      if(log&&s.lines){s.lines.forEach(function(l){log.textContent+=l+'\n';});log.scrollTop=log.scrollHeight;}
      if(typeof s.last_line==='number')seen=s.last_line;
      var b=document.getElementById('run-button');if(b)b.disabled=s.busy;
      if(wasBusy&&!s.busy){location.reload();return;}
      wasBusy=s.busy;
      setTimeout(tick,s.busy?700:5000);
    }).catch(function(){setTimeout(tick,5000);});
  }
  tick();
})();
)js";

namespace {

std::string Head(const std::string& title) {
    return "<!doctype html><html lang=\"en\"><head><meta charset=\"utf-8\">"
           "<meta name=\"viewport\" content=\"width=device-width,initial-scale=1\">"
           "<title>" +
           HtmlEscape(title) +
           " - VOXA-FAX Print</title><link rel=\"stylesheet\" href=\"/style.css\"></head><body>";
}

}  // namespace

std::string SimplePage(const std::string& title, const std::string& bodyHtml) {
    return Head(title) + "<main><h1>" + HtmlEscape(title) + "</h1>" + bodyHtml +
           "</main></body></html>\n";
}

std::string FramedPage(const std::string& title, const std::string& active,
                       const std::string& bodyHtml) {
    std::string nav;
    for (auto [key, label, href] :
         {std::tuple{"now", "Now", "/"}, std::tuple{"faxes", "Faxes", "/faxes"},
          std::tuple{"receipts", "Receipts", "/receipts"}}) {
        nav += std::string("<a href=\"") + href + "\"" + (active == key ? " class=\"on\"" : "") +
               ">" + label + "</a>";
    }
    return Head(title) + "<header><b>VOXA-FAX Print</b><nav>" + nav + "</nav></header><main>" +
           bodyHtml + "</main><script src=\"/app.js\"></script></body></html>\n";
}

std::string PostButton(const std::string& action, const std::string& label, const std::string& csrf,
                       const std::vector<std::pair<std::string, std::string>>& fields,
                       const std::string& confirm, const std::string& cls, const std::string& id) {
    std::string html =
        "<form class=\"inline\" method=\"post\" action=\"" + HtmlEscape(action) + "\"";
    if (!confirm.empty()) html += " data-confirm=\"" + HtmlEscape(confirm) + "\"";
    html += "><input type=\"hidden\" name=\"csrf\" value=\"" + HtmlEscape(csrf) + "\">";
    for (const auto& [name, value] : fields)
        html += "<input type=\"hidden\" name=\"" + HtmlEscape(name) + "\" value=\"" +
                HtmlEscape(value) + "\">";
    html += "<button";
    if (!cls.empty()) html += " class=\"" + HtmlEscape(cls) + "\"";
    if (!id.empty()) html += " id=\"" + HtmlEscape(id) + "\"";
    return html + ">" + HtmlEscape(label) + "</button></form>";
}

std::string Notice(const std::string& text, bool problem) {
    if (text.empty()) return {};
    return std::string("<div class=\"notice") + (problem ? " bad" : "") + "\">" + HtmlEscape(text) +
           "</div>";
}

std::string Ago(long long seconds) {
    if (seconds < 0) seconds = 0;
    if (seconds < 90) return std::to_string(seconds) + " s ago";
    if (seconds < 90 * 60) return std::to_string(seconds / 60) + " min ago";
    if (seconds < 36 * 3600) return std::to_string(seconds / 3600) + " h ago";
    return std::to_string(seconds / 86400) + " days ago";
}

std::string LocalTime(long long unixSeconds) {
    const std::time_t t = static_cast<std::time_t>(unixSeconds);
    std::tm tm{};
    ::localtime_r(&t, &tm);
    char buf[32];
    std::strftime(buf, sizeof buf, "%Y-%m-%d %H:%M", &tm);
    return buf;
}

}  // namespace web
