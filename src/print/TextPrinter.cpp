#include "print/TextPrinter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <string>

#include "config/NodeConfig.h"
#include "config/ProfileKeys.h"
#include "platform/EventLoop.h"
#include "platform/Printers.h"

namespace print {

namespace {

constexpr char kTab = '\t';
constexpr char kFormFeed = '\f';

// No sheet holds more lines than this; a larger setting would only fill the
// page with invisible entries for a very long time.
constexpr std::int32_t kMaxLinesPerPage = 10000;

bool IsLineControl(char c) {
    return c == kTab || c == '\r' || c == '\v' || c == '\n' || c == kFormFeed;
}

// A decimal number of points: blanks around it allowed, nothing else.
bool ToPoints(const std::string& text, double& out) {
    std::size_t b = text.find_first_not_of(' ');
    std::size_t e = text.find_last_not_of(' ');
    if (b == std::string::npos) return false;
    std::string s = text.substr(b, e - b + 1);
    errno = 0;
    char* end = nullptr;
    double v = std::strtod(s.c_str(), &end);
    if (end != s.c_str() + s.size() || errno != 0) return false;
    out = v;
    return true;
}

// The text still to print is `carry` (a broken line's rest, put back in
// front) followed by what follows `pos` in PrintStr. Keeping a position
// instead of cutting the front off keeps a long text linear.
class Remaining {
  public:
    explicit Remaining(std::string& text) : text_(text) {}

    bool Empty() const { return carry_.empty() && pos_ >= text_.size(); }

    // Takes the next line up to and including its LF; a last line without
    // one gets an LF. Empty once the text is used up.
    std::string NextLine() {
        if (!carry_.empty()) {
            std::string line;
            line.swap(carry_);
            std::size_t lf = line.find('\n');
            if (lf != std::string::npos && lf + 1 < line.size()) {
                carry_ = line.substr(lf + 1);
                line.resize(lf + 1);
            } else if (lf == std::string::npos) {
                line += '\n';
            }
            return line;
        }
        if (pos_ >= text_.size()) return {};
        std::size_t lf = text_.find('\n', pos_);
        std::string line;
        if (lf == std::string::npos) {
            line = text_.substr(pos_);
            line += '\n';
            pos_ = text_.size();
        } else {
            line = text_.substr(pos_, lf + 1 - pos_);
            pos_ = lf + 1;
        }
        return line;
    }

    void PutBack(const std::string& rest) { carry_ = rest + carry_; }

    bool StartsWithFormFeed() const {
        if (!carry_.empty()) return carry_.front() == kFormFeed;
        return pos_ < text_.size() && text_[pos_] == kFormFeed;
    }
    void DropFirst() {
        if (!carry_.empty())
            carry_.erase(0, 1);
        else if (pos_ < text_.size())
            ++pos_;
    }

    bool HasPrintable() const {
        std::string_view tail = std::string_view(text_).substr(std::min(pos_, text_.size()));
        if (carry_.empty() && tail.empty()) return false;
        if (AllBlanks(carry_) && AllBlanks(tail)) return false;
        auto printable = [](std::string_view s) {
            return std::any_of(s.begin(), s.end(), [](char c) { return !IsLineControl(c); });
        };
        return printable(carry_) || printable(tail);
    }

    // What is left goes back to the caller's text.
    void Finish() {
        std::string left = carry_ + text_.substr(std::min(pos_, text_.size()));
        text_.swap(left);
    }

  private:
    std::string& text_;
    std::string carry_;
    std::size_t pos_ = 0;
};

struct PageSettings {
    std::int32_t charsPerLine = 0;
    std::int32_t linesPerPage = 0;
    double fontSize = 0;
};

// The three keys are read at every call so that a change made by the
// scheduler takes effect with the next text.
PageSettings ReadPageSettings(const platform::ProfileStore& profile) {
    PageSettings s;
    std::int32_t v = 0;
    if (config::ToInt32(config::ReadProfileKey(profile, "chrs_per_line"), v)) s.charsPerLine = v;
    if (config::ToInt32(config::ReadProfileKey(profile, "lines_per_page"), v)) s.linesPerPage = v;
    double pts = 0;
    if (ToPoints(config::ReadProfileKey(profile, "font_size"), pts)) s.fontSize = pts;
    s.linesPerPage = std::min(s.linesPerPage, kMaxLinesPerPage);
    return s;
}

// One call's pages: lines are collected into pageBuff and go to the printer
// a page at a time.
class PageSetter {
  public:
    PageSetter(const TextPrinterServices& svc, const PageSettings& set, std::string* failure)
        : svc_(svc), set_(set), failure_(failure) {}

    bool gone() const { return printerGone_; }

    // Every line on paper is preceded by a TAB, and a page header takes two
    // lines: the font must fit that grid on the sheet.
    void Begin(bool header) {
        if (svc_.holdBack) return;
        // A printer that refuses the size keeps its font: the failure is skipped.
        Check(svc_.printers.SetFontSize(set_.fontSize, platform::kTabColumns + set_.charsPerLine,
                                        set_.linesPerPage + (header ? 2 : 0)));
    }

    void Header(const std::string& text) {
        if (svc_.holdBack) return;
        Check(svc_.printers.PrintLine(text));
        Check(svc_.printers.PrintLine(""));
    }

    // Takes the lines of one page from the text into pageBuff.
    void FillPage(Remaining& text, bool flgUnix) {
        bool pageDone = false;
        while (!pageDone) {
            svc_.loop.Yield();
            std::string line = text.NextLine();
            // LF-only text is paginated like CR LF text once its line ends
            // are made CR LF.
            if (flgUnix && !line.empty() && line.back() == '\n' &&
                (line.size() < 2 || line[line.size() - 2] != '\r'))
                line.insert(line.size() - 1, 1, '\r');
            if (BreakLongLine(line, text, pageDone)) continue;
            Add(line);
            if (text.StartsWithFormFeed()) {
                text.DropFirst();
                pageDone = true;
            } else if (lineCount_ >= set_.linesPerPage) {
                pageDone = true;
            }
        }
    }

    void EndPage() {
        lineCount_ = 0;
        if (!svc_.holdBack) {
            Check(svc_.printers.PrintLine(pageBuff_));
            Check(svc_.printers.NewPage());
        }
        pageBuff_.clear();
    }

    void EndDoc() {
        if (!svc_.holdBack) Check(svc_.printers.EndDoc());
    }

  private:
    void Add(const std::string& piece) {
        pageBuff_ += kTab;
        pageBuff_ += piece;
        ++lineCount_;
    }

    // A line wider than the page goes on in pieces; true when the line is
    // used up (its rest back in the text when the page filled first).
    bool BreakLongLine(std::string& line, Remaining& text, bool& pageDone) {
        while (static_cast<std::int64_t>(line.size()) - 1 > set_.charsPerLine) {
            std::string rest;
            std::string piece = BreakLine(line, set_.charsPerLine, rest);
            if (rest.size() == line.size()) {
                // No blank to break at: cut at the width so that every line
                // makes progress. A line end alone always fits.
                std::size_t visible = line.size();
                if (visible && line[visible - 1] == '\n') --visible;
                if (visible && line[visible - 1] == '\r') --visible;
                if (visible == 0) return false;
                const std::size_t w =
                    std::min(static_cast<std::size_t>(std::max(set_.charsPerLine, 1)), visible);
                piece = line.substr(0, w) + "\r\n";
                rest = line.substr(w);
            }
            Add(piece);
            if (lineCount_ >= set_.linesPerPage) {
                text.PutBack(rest);
                pageDone = true;
                return true;
            }
            if (rest.empty()) return true;
            line = std::move(rest);
        }
        return false;
    }

    // Failures of the surface are skipped, as a printer's quirks always were,
    // except one that says the printer is gone or its folder cannot be
    // written: then the text was not printed, and nothing more will be.
    void Check(const platform::Status& st) {
        if (st.kind != platform::Fail::Rejected) return;
        if (!printerGone_ && failure_) *failure_ = st.detail;
        printerGone_ = true;
    }

    const TextPrinterServices& svc_;
    const PageSettings set_;
    std::string* failure_;
    std::string pageBuff_;
    std::int32_t lineCount_ = 0;
    bool printerGone_ = false;
};

bool PrintText(const TextPrinterServices& svc, std::string& PrintStr, bool flgPageHdr,
               const std::string& Sent, const std::string& Received, const std::string& Sender,
               std::int32_t& PageNo, std::string* failure) {
    PageSetter pages(svc, ReadPageSettings(svc.profile), failure);
    pages.Begin(flgPageHdr);
    PageNo = 1;
    const std::string header = "S " + Sent + "  R  " + Received + "    " + Sender + "   Page No. ";
    const bool flgUnix =
        PrintStr.find("\r\n") == std::string::npos && PrintStr.find('\n') != std::string::npos;
    Remaining text(PrintStr);
    do {
        if (flgPageHdr) pages.Header(header + std::to_string(PageNo));
        pages.FillPage(text, flgUnix);
        pages.EndPage();
        ++PageNo;
    } while (text.HasPrintable());
    text.Finish();
    pages.EndDoc();
    return !pages.gone();
}

}  // namespace

bool TextOnLocalPrinter(const TextPrinterServices& svc, std::string& PrintStr, bool flgPageHdr,
                        const std::string& Sent, const std::string& Received,
                        const std::string& Sender, std::int32_t& PageNo, std::string* failure) {
    try {
        return PrintText(svc, PrintStr, flgPageHdr, Sent, Received, Sender, PageNo, failure);
    } catch (...) {
        // Out of memory is the only thing that can get here: the text could
        // not be printed.
        if (failure) *failure = "out of memory while setting a text";
        return false;
    }
}

std::string BreakLine(const std::string& line, int width, std::string& rest) {
    std::size_t p = 0;  // position (from 1) of the last blank at or before width
    if (width > 0) {
        std::size_t from = std::min(static_cast<std::size_t>(width), line.size());
        for (std::size_t i = from; i >= 1; --i) {
            if (line[i - 1] == ' ') {
                p = i;
                break;
            }
        }
    }
    rest = line.substr(p);
    return line.substr(0, p) + "\r\n";
}

bool AllBlanks(std::string_view text) {
    return std::all_of(text.begin(), text.end(), [](char c) { return c == ' '; });
}

bool HasPrintableText(std::string_view text) {
    if (text.empty() || AllBlanks(text)) return false;
    return std::any_of(text.begin(), text.end(), [](char c) { return !IsLineControl(c); });
}

bool LoadFile(const std::string& path, std::string& content, std::int16_t& fileNumber) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return false;
    struct stat st {};
    if (::fstat(fd, &st) != 0 || S_ISDIR(st.st_mode)) {
        ::close(fd);
        return false;
    }
    fileNumber = static_cast<std::int16_t>(fd);
    std::string data;
    bool readOk = true;
    try {
        char buf[65536];
        for (;;) {
            ssize_t n = ::read(fd, buf, sizeof buf);
            if (n < 0) {
                if (errno == EINTR) continue;
                readOk = false;
                break;
            }
            if (n == 0) break;
            data.append(buf, static_cast<std::size_t>(n));
        }
    } catch (...) {
        readOk = false;
    }
    ::close(fd);
    if (readOk) content.swap(data);
    return true;
}

}  // namespace print
