#include "companion/web/Faxes.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "companion/web/Pages.h"
#include "platform/Files.h"

namespace web {
namespace {

constexpr int kThumbW = 96, kThumbH = 124;  // the list's thumbnails
constexpr int kPageW = 900, kPageH = 1273;  // a page on the fax's own page
constexpr int kMaxPicturesPerFax = 300;     // pictures asked of one fax's page

std::string Hash(const std::string& text) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    for (unsigned char c : text) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

std::string FaxLink(const std::string& id) {
    return "/fax?id=" + UrlEncode(id);
}

std::string PictureLink(const std::string& id, std::size_t a, int p, const char* size) {
    return "/picture?id=" + UrlEncode(id) + "&a=" + std::to_string(a) + "&p=" + std::to_string(p) +
           "&s=" + size;
}

// What a folder says about the fax in it.
std::string Disposition(const std::string& folder) {
    if (folder == "VOXA-FAXes/Printed") return "printed";
    if (folder == "VOXA-FAXes/Unprintable") return "unprintable";
    if (folder == "Regular Faxes/Printed") return "regular fax, printed";
    if (folder == "Regular Faxes/Unprintable") return "regular fax, unprintable";
    if (folder == "Inbox") return "in the inbox, not handled yet";
    return folder;
}

int Number(const std::string& text, int fallback) {
    char* end = nullptr;
    const long v = std::strtol(text.c_str(), &end, 10);
    return text.empty() || *end || v < 0 || v > 1000000 ? fallback : static_cast<int>(v);
}

std::string Sum(const std::vector<int>& pages) {
    int n = 0;
    for (int p : pages) n += p;
    return std::to_string(n);
}

}  // namespace

std::string PictureCache::PathOf(const std::string& key) const {
    return folder_ + "/" + Hash(key);
}

std::optional<std::string> PictureCache::Get(const std::string& key) const {
    auto bytes = platform::ReadWholeFile(PathOf(key));
    if (!bytes) return std::nullopt;
    return *bytes;
}

void PictureCache::Put(const std::string& key, const std::string& bytes) {
    if (!platform::MakeFolders(folder_)) return;
    (void)platform::WriteFileAtomically(PathOf(key), bytes, 0600);
    if (++puts_ % 50 == 1) Trim();
}

// The oldest files go until the folder is within its bounds.
void PictureCache::Trim() {
    auto names = platform::ListFiles(folder_);
    if (!names) return;
    struct Entry {
        std::string path;
        long long mtime;
        std::uintmax_t size;
    };
    std::vector<Entry> all;
    std::uintmax_t bytes = 0;
    for (const std::string& n : *names) {
        struct stat st {};
        const std::string p = folder_ + "/" + n;
        if (::stat(p.c_str(), &st) != 0) continue;
        all.push_back(
            {p, static_cast<long long>(st.st_mtime), static_cast<std::uintmax_t>(st.st_size)});
        bytes += static_cast<std::uintmax_t>(st.st_size);
    }
    std::sort(all.begin(), all.end(),
              [](const Entry& a, const Entry& b) { return a.mtime < b.mtime; });
    for (std::size_t i = 0; i < all.size() && (all.size() - i > kMaxFiles || bytes > kMaxBytes);
         ++i) {
        ::unlink(all[i].path.c_str());
        bytes -= all[i].size;
    }
}

FaxPagesImpl::FaxPagesImpl(std::unique_ptr<FaxShelf> shelf, Pictures pictures,
                           std::function<PrinterChoice()> printers, std::string cacheFolder)
    : shelf_(std::move(shelf)),
      pictures_(std::move(pictures)),
      printers_(std::move(printers)),
      cache_(std::move(cacheFolder)) {}

Response FaxPagesImpl::Handle(const Request& req, const Session& s, App& app) {
    const bool get = req.method == "GET" || req.method == "HEAD";
    if (get && req.path == "/faxes") return List(req);
    if (get && req.path == "/fax") return One(req, s, app);
    if (get && req.path == "/picture") return Picture(req);
    if (req.method == "POST" && req.path == "/reprint") return Reprint(req, s, app);
    Response none;
    none.status = 0;
    return none;
}

std::string FaxPagesImpl::AttachmentFile(const FaxEntry& fax, std::size_t index, std::string& why) {
    const std::string path =
        cache_.folder() + "/" + Hash("file\n" + fax.id + "\n" + std::to_string(index));
    if (platform::IsFile(path)) return path;
    if (auto made = platform::MakeFolders(cache_.folder()); !made) {
        why = made.detail;
        return {};
    }
    if (auto st = shelf_->WriteAttachment(fax.id, index, path); !st) {
        ::unlink(path.c_str());
        why = st.detail;
        return {};
    }
    return path;
}

const FaxEntry* FaxPagesImpl::Known(const std::string& id) {
    auto it = known_.find(id);
    return it == known_.end() ? nullptr : &it->second;
}

void FaxPagesImpl::Remember(const FaxEntry& fax) {
    if (known_.size() >= 4 * kPerPage) known_.clear();
    known_[fax.id] = fax;
}

std::vector<int> FaxPagesImpl::PagesOf(const FaxEntry& fax) {
    Remember(fax);
    if (auto it = pages_.find(fax.id); it != pages_.end()) return it->second;
    std::vector<int> pages;
    for (std::size_t i = 0; i < fax.attachments.size(); ++i) {
        std::string why;
        const std::string file = AttachmentFile(fax, i, why);
        auto n = file.empty()
                     ? platform::Result<int>(platform::Status::Error(platform::Fail::Io, why))
                     : pictures_.pages(file);
        pages.push_back(n ? *n : 0);
    }
    if (pages_.size() >= 1000) pages_.clear();  // bounded, as the pictures are
    return pages_[fax.id] = pages;
}

Response FaxPagesImpl::List(const Request& req) {
    const std::size_t page = static_cast<std::size_t>(Number(req.Query("page"), 0));
    std::size_t total = 0;
    auto faxes = shelf_->Newest(page * kPerPage, kPerPage, total);
    if (!faxes)
        return Response::Html(FramedPage(
            "Faxes", "faxes",
            "<h1>Faxes</h1>" +
                Notice("The mail store cannot be read: " + faxes.status().detail, true)));
    std::string html = "<h1>Faxes</h1><p class=\"muted\">" + std::to_string(total) +
                       " messages in the inbox and the filing folders, newest first.</p>";
    html +=
        "<table id=\"faxes\"><tr><th></th><th>From</th><th>Subject</th><th>Received</th>"
        "<th>Pages</th><th>Disposition</th></tr>";
    for (const FaxEntry& f : *faxes) {
        const std::vector<int> pages = PagesOf(f);
        auto first = std::find_if(pages.begin(), pages.end(), [](int n) { return n > 0; });
        std::string thumb;
        if (first != pages.end())
            thumb = "<img class=\"thumb\" loading=\"lazy\" alt=\"first page\" src=\"" +
                    HtmlEscape(PictureLink(f.id, static_cast<std::size_t>(first - pages.begin()), 0,
                                           "small")) +
                    "\">";
        html += "<tr class=\"fax\"><td><a href=\"" + HtmlEscape(FaxLink(f.id)) + "\">" + thumb +
                "</a></td><td>" + HtmlEscape(f.sender) + "</td><td><a href=\"" +
                HtmlEscape(FaxLink(f.id)) + "\">" +
                HtmlEscape(f.subject.empty() ? "(no subject)" : f.subject) + "</a></td><td>" +
                HtmlEscape(f.received) + "</td><td>" + Sum(pages) + "</td><td>" +
                HtmlEscape(Disposition(f.folder)) + "</td></tr>";
    }
    html += "</table><p class=\"pager\">";
    if (page > 0) html += "<a href=\"/faxes?page=" + std::to_string(page - 1) + "\">Newer</a>";
    if ((page + 1) * kPerPage < total)
        html += "<a href=\"/faxes?page=" + std::to_string(page + 1) + "\">Older</a>";
    return Response::Html(FramedPage("Faxes", "faxes", html + "</p>"));
}

Response FaxPagesImpl::One(const Request& req, const Session& s, App& app) {
    auto fax = shelf_->Find(req.Query("id"));
    if (!fax)
        return Response::Html(FramedPage("Fax", "faxes",
                                         Notice("No such fax: " + fax.status().detail +
                                                    " (a run may have filed it since)",
                                                true)),
                              404);
    const std::vector<int> pages = PagesOf(*fax);
    std::string html =
        "<h1>" + HtmlEscape(fax->subject.empty() ? "(no subject)" : fax->subject) + "</h1><dl>";
    html += "<dt>From</dt><dd>" + HtmlEscape(fax->sender) + "</dd><dt>Received</dt><dd>" +
            HtmlEscape(fax->received) + "</dd><dt>Disposition</dt><dd>" +
            HtmlEscape(Disposition(fax->folder)) + "</dd></dl>";
    html += "<h2>Report</h2><ul id=\"report\">";
    for (std::size_t i = 0; i < fax->attachments.size(); ++i)
        html += "<li>" + HtmlEscape(fax->attachments[i]) + ": " +
                (pages[i] > 0 ? std::to_string(pages[i]) + " page(s)"
                              : std::string("not a readable image")) +
                "</li>";
    if (!fax->note.empty()) html += "<li>" + HtmlEscape(fax->note) + "</li>";
    html += "</ul>";
    html += "<h2>Print again</h2>" +
            app.ReprintForm(s, fax->id, printers_ ? printers_() : PrinterChoice{});
    int shown = 0;
    for (std::size_t i = 0; i < fax->attachments.size(); ++i) {
        for (int p = 0; p < pages[i] && shown < kMaxPicturesPerFax; ++p, ++shown) {
            html += "<h2>" + HtmlEscape(fax->attachments[i]) + ", page " + std::to_string(p + 1) +
                    "</h2><img class=\"page\" loading=\"lazy\" alt=\"page " +
                    std::to_string(p + 1) + "\" src=\"" +
                    HtmlEscape(PictureLink(fax->id, i, p, "large")) + "\">";
        }
    }
    return Response::Html(FramedPage("Fax", "faxes", html));
}

Response FaxPagesImpl::Picture(const Request& req) {
    const std::string id = req.Query("id");
    const int a = Number(req.Query("a"), -1), p = Number(req.Query("p"), -1);
    const bool small = req.Query("s") != "large";
    const std::string key = "png\n" + id + "\n" + std::to_string(a) + "\n" + std::to_string(p) +
                            (small ? "\nsmall" : "\nlarge");
    std::optional<std::string> png = cache_.Get(key);
    if (!png) {
        const FaxEntry* known = Known(id);
        auto fax = known ? platform::Result<FaxEntry>(*known) : shelf_->Find(id);
        if (!fax || a < 0 || static_cast<std::size_t>(a) >= fax->attachments.size() || p < 0)
            return Response::Text(404, "no such picture\n");
        std::string why;
        const std::string file = AttachmentFile(*fax, static_cast<std::size_t>(a), why);
        if (file.empty()) return Response::Text(500, why + "\n");
        auto made =
            pictures_.png(file, p, small ? kThumbW * 2 : kPageW, small ? kThumbH * 2 : kPageH);
        if (!made)
            return Response::Text(made.status().kind == platform::Fail::NotFound ? 404 : 415,
                                  made.status().detail + "\n");
        cache_.Put(key, *made);
        png = std::move(*made);
    }
    Response r;
    r.contentType = "image/png";
    r.body = std::move(*png);
    r.headers.emplace_back("Cache-Control", "private, max-age=86400");
    return r;
}

Response FaxPagesImpl::Reprint(const Request& req, const Session& s, App& app) {
    const Fields form = ParseForm(req.body);
    auto field = [&](const char* n) {
        auto it = form.find(n);
        return it == form.end() ? std::string() : it->second;
    };
    const std::string id = field("id");
    std::string printer = field("printer");
    // Only a fax these pages show is printed again.
    if (!shelf_->Find(id)) return Response::Text(404, "no such fax\n");
    const PrinterChoice choice = printers_ ? printers_() : PrinterChoice{};
    if (!printer.empty() &&
        std::find(choice.names.begin(), choice.names.end(), printer) == choice.names.end())
        return Response::Text(400, "no such printer\n");
    app.StartReprint(s, id, printer);
    return Response::Redirect(FaxLink(id));
}

}  // namespace web
