// The system's printers: CUPS destinations and the folder printers of
// printers.ini. Text documents are set with cairo in a monospace font into a
// PDF; an ended document is a CUPS job or a file in the printer's folder.
#include "linux/printing/SystemPrinters.h"

#include <cairo-pdf.h>
#include <cups/cups.h>
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <set>

#include "linux/printing/FolderDelivery.h"
#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace platform {

namespace {

// A4, with a margin that every printer can reach.
constexpr double kSheetWidth = 595.276;
constexpr double kSheetHeight = 841.89;
constexpr double kMargin = 36;
// Below this the text would be unreadable: a grid that needs less runs off
// the sheet instead.
constexpr double kSmallestFont = 4;

Status DeliverToCups(const std::string& dest, const std::string& pdfPath, const std::string& title,
                     std::string& delivery) {
    int job =
        cupsPrintFile2(CUPS_HTTP_DEFAULT, dest.c_str(), pdfPath.c_str(), title.c_str(), 0, nullptr);
    if (job > 0) {
        delivery = "job " + std::to_string(job);
        return Status::Ok();
    }
    const ipp_status_t err = cupsLastError();
    const std::string why = cupsLastErrorString() ? cupsLastErrorString() : "unknown error";
    switch (err) {
        case IPP_STATUS_ERROR_NOT_FOUND:
        case IPP_STATUS_ERROR_NOT_ACCEPTING_JOBS:
        case IPP_STATUS_ERROR_SERVICE_UNAVAILABLE:
        case IPP_STATUS_ERROR_PRINTER_IS_DEACTIVATED:
            return Status::Error(Fail::Rejected, "Printer Error : " + dest + ": " + why);
        default:
            return Status::Error(Fail::Io, "CUPS job on " + dest + " failed: " + why);
    }
}

// Text of the legacy single-byte character set, as cairo wants it (UTF-8),
// with TABs expanded and other control characters dropped.
std::string ShowableLine(std::string_view line) {
    std::string out;
    int col = 0;
    for (char ch : line) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '\t') {
            do {
                out += ' ';
                ++col;
            } while (col % kTabColumns != 0);
        } else if (c >= 0x20 && c != 0x7f) {
            out += ch;
            ++col;
        }
    }
    return Latin1ToUtf8(out);
}

// A monospace font's advance and line height at 1 point: both grow with
// the size.
struct UnitMetrics {
    double advance = 0;
    double height = 0;
};

UnitMetrics MeasureFont(cairo_t* cr) {
    cairo_select_font_face(cr, "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    // Measured large and without hinting, which would round the metrics of
    // a small size to whole pixels on a raster surface.
    constexpr double kProbe = 100;
    cairo_font_options_t* unhinted = cairo_font_options_create();
    cairo_font_options_set_hint_metrics(unhinted, CAIRO_HINT_METRICS_OFF);
    cairo_set_font_options(cr, unhinted);
    cairo_font_options_destroy(unhinted);
    cairo_set_font_size(cr, kProbe);
    cairo_font_extents_t font{};
    cairo_font_extents(cr, &font);
    cairo_text_extents_t glyph{};
    cairo_text_extents(cr, "M", &glyph);
    return {glyph.x_advance / kProbe, font.height / kProbe};
}

class SystemPrinters final : public Printers {
  public:
    explicit SystemPrinters(std::string printersIni) : printersIni_(std::move(printersIni)) {}
    ~SystemPrinters() override {
        if (cr_) (void)EndDoc();
    }

    std::string LastDelivery() const override { return lastDelivery_; }

    void SetDocumentKey(const std::string& key) override {
        docKey_.clear();
        for (char c : key)
            if (std::isalnum(static_cast<unsigned char>(c)) || c == '-') docKey_ += c;
    }

    // Asked only when a run resumes a fax that a killed run had begun, so
    // the listing of a folder that grows with every fax stays rare.
    bool Delivered(const std::string& printerName, const std::string& key) override {
        if (key.empty()) return false;
        const std::string name = printerName.empty() ? Current() : printerName;
        // "yyyymmdd-hhmmss-nnnnnn-" then the whole key, then ".pdf".
        constexpr std::size_t kStamp = 23;
        const std::string tail = key + ".pdf";
        for (const auto& p : Installed()) {
            if (p.deviceName != name || !p.isFolder) continue;
            for (const std::string& n : ListFolder(p.directory).value_or({}))
                if (n.size() == kStamp + tail.size() && n[kStamp - 1] == '-' &&
                    n.compare(kStamp, tail.size(), tail) == 0)
                    return true;
        }
        return false;
    }

    // Only a folder printer holds: a CUPS job leaves at once, and what the
    // walk notes of it must not wait for a batch.
    bool Hold(const std::string& tag) override {
        const std::string current = Current();
        bool folder = false;
        for (const auto& p : Installed())
            folder = folder || (p.deviceName == current && p.isFolder);
        folders_.Hold(folder ? tag : std::string());
        sentDirectly_ = false;
        return folders_.Holding();
    }
    bool SentDirectly() const override { return sentDirectly_; }
    Status SyncHeld() override { return folders_.SyncHeld(); }
    Status NameHeld() override {
        sentDirectly_ = false;
        return folders_.NameHeld();
    }
    void StopHolding() override {
        folders_.DropHeld();
        folders_.Hold("");
        sentDirectly_ = false;
    }
    Status RecoverHeld(const std::string& tag,
                       const std::function<bool(const std::string& key)>& printed) override {
        for (const auto& p : Installed())
            if (p.isFolder)
                if (Status st = folders_.Recover(p.directory, tag, printed); !st)
                    return FolderFailure(p, st);
        return Status::Ok();
    }

    std::vector<PrinterInfo> Installed() override {
        // The scheduler is asked once per run: a run lasts minutes at most,
        // and asking it for every page printed made each fax cost two
        // connections (and a long wait when no scheduler runs).
        if (!cupsListed_) {
            cups_dest_t* dests = nullptr;
            const int n = cupsGetDests2(CUPS_HTTP_DEFAULT, &dests);
            cupsDefault_.clear();
            cupsDests_.clear();
            for (int i = 0; i < n; ++i) {
                if (dests[i].instance) continue;
                cupsDests_.push_back(PrinterInfo{dests[i].name, false, ""});
                if (dests[i].is_default) cupsDefault_ = dests[i].name;
            }
            cupsFreeDests(n, dests);
            cupsListed_ = true;
        }
        // printers.ini likewise: every document printed asked for the list.
        if (!foldersListed_) {
            folderPrinters_.clear();
            if (auto text = ReadWholeFile(printersIni_)) {
                for (const auto& section : ini::Sections(*text)) {
                    auto dir = ini::Lookup(*text, section, "directory");
                    if (!dir) continue;
                    std::string d = ExpandHome(ini::StripComment(*dir));
                    if (!d.empty()) folderPrinters_.push_back(PrinterInfo{section, true, d});
                }
            }
            foldersListed_ = true;
        }
        std::vector<PrinterInfo> out = cupsDests_;
        out.insert(out.end(), folderPrinters_.begin(), folderPrinters_.end());
        return out;
    }

    bool SetCurrent(const std::string& deviceName) override {
        for (const auto& p : Installed()) {
            if (p.deviceName == deviceName) {
                current_ = p.deviceName;
                return true;
            }
        }
        return false;
    }

    std::string Current() override {
        if (!current_.empty()) return current_;
        auto all = Installed();
        if (!cupsDefault_.empty()) return cupsDefault_;
        return all.empty() ? std::string() : all.front().deviceName;
    }

    Status SetFontSize(double points, int columns, int lines) override {
        if (!std::isfinite(points) || points < 1 || points > 400)
            return Status::Error(Fail::Rejected, "font size refused");
        fontSize_ = points;
        columns_ = columns;
        lines_ = lines;
        if (cr_) ApplyFont();
        return Status::Ok();
    }

    TextGrid SheetGrid(double points) override {
        cairo_surface_t* scratch = cairo_image_surface_create(CAIRO_FORMAT_A8, 1, 1);
        cairo_t* cr = cairo_create(scratch);
        const UnitMetrics unit = MeasureFont(cr);
        cairo_destroy(cr);
        cairo_surface_destroy(scratch);
        if (!(points > 0) || unit.advance <= 0 || unit.height <= 0) return {};
        return {static_cast<int>((kSheetWidth - 2 * kMargin) / (unit.advance * points)),
                static_cast<int>((kSheetHeight - 2 * kMargin) / (unit.height * points))};
    }

    Status PrintLine(std::string_view text) override {
        Status st = Begin();
        if (!st) return st;
        if (pendingPage_) NextSheet();
        std::size_t start = 0;
        for (;;) {
            std::size_t lf = text.find('\n', start);
            std::string_view line = text.substr(
                start, lf == std::string_view::npos ? std::string_view::npos : lf - start);
            SetLine(line);
            if (lf == std::string_view::npos) break;
            start = lf + 1;
        }
        return Status::Ok();
    }

    Status NewPage() override {
        Status st = Begin();
        if (!st) return st;
        pendingPage_ = true;
        return Status::Ok();
    }

    Status EndDoc() override {
        if (!cr_) return Status::Ok();
        cairo_destroy(cr_);
        cr_ = nullptr;
        cairo_surface_finish(pdf_);
        Status st;
        if (cairo_surface_status(pdf_) != CAIRO_STATUS_SUCCESS)
            st = Status::Error(Fail::Io, std::string("Cannot make the printed document: ") +
                                             cairo_status_to_string(cairo_surface_status(pdf_)));
        cairo_surface_destroy(pdf_);
        pdf_ = nullptr;
        if (st && linesSet_ > 0)
            st = PrintDocument(docPrinter_, tmpPath_, "VOXA-FAX text", sheets_);
        ::unlink(tmpPath_.c_str());
        tmpPath_.clear();
        return st;
    }

    Status PrintDocument(const std::string& printerName, const std::string& pdfPath,
                         const std::string& title, int) override {
        const std::string name = printerName.empty() ? Current() : printerName;
        lastDelivery_.clear();
        for (const auto& p : Installed()) {
            if (p.deviceName != name) continue;
            if (p.isFolder) return DeliverToFolder(p, pdfPath);
            sentDirectly_ = sentDirectly_ || folders_.Holding();
            return DeliverToCups(name, pdfPath, title, lastDelivery_);
        }
        return Status::Error(Fail::Rejected,
                             "Printer Error : no printer named \"" + name + "\" is installed");
    }

  private:
    // A folder that cannot be written stops printing like a printer that is
    // gone: every later fax would fail the same way, and each would be filed
    // as unprintable and answered "Failed". Stopped, the faxes stay in the
    // inbox and the next run prints them once the folder can be written.
    static Status FolderFailure(const PrinterInfo& p, const Status& why) {
        return Status::Error(Fail::Rejected, "Printer Error : folder printer \"" + p.deviceName +
                                                 "\": " + why.detail);
    }

    // Files are named yyyymmdd-hhmmss-nnnnnn.pdf, or yyyymmdd-hhmmss-nnnnnn-
    // key.pdf with a document key (FolderDelivery). While holding, a keyed
    // document waits under a hidden name for the walk's batch.
    Status DeliverToFolder(const PrinterInfo& p, const std::string& pdfPath) {
        const std::string& dir = p.directory;
        if (!madeFolders_.count(dir)) {
            Status st = MakeFolders(dir);
            if (!st) return FolderFailure(p, st);
            madeFolders_.insert(dir);
        }
        Status st;
        if (folders_.Holding() && !docKey_.empty()) {
            st = folders_.Keep(dir, pdfPath, docKey_);
            if (st) lastDelivery_ = dir;
        } else {
            sentDirectly_ = sentDirectly_ || folders_.Holding();
            st = folders_.Deliver(dir, pdfPath, docKey_, lastDelivery_);
        }
        if (!st) {
            // A folder removed during the run is made again next time.
            madeFolders_.erase(dir);
            return FolderFailure(p, st);
        }
        return Status::Ok();
    }

    Status Begin() {
        if (cr_) return Status::Ok();
        const char* t = std::getenv("TMPDIR");
        std::string tmpl = std::string(t && *t ? t : "/tmp") + "/voxafax-text-XXXXXX.pdf";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        int fd = ::mkstemps(name.data(), 4);
        if (fd < 0) return ErrnoStatus(Fail::Io, "Cannot create a temporary file");
        ::close(fd);
        tmpPath_ = name.data();
        pdf_ = cairo_pdf_surface_create(tmpPath_.c_str(), kSheetWidth, kSheetHeight);
        cr_ = cairo_create(pdf_);
        if (cairo_status(cr_) != CAIRO_STATUS_SUCCESS) {
            cairo_destroy(cr_);
            cr_ = nullptr;
            cairo_surface_destroy(pdf_);
            pdf_ = nullptr;
            ::unlink(tmpPath_.c_str());
            return Status::Error(Fail::Io, "Cannot make the printed document");
        }
        docPrinter_ = Current();
        pendingPage_ = false;
        linesSet_ = 0;
        sheets_ = 1;
        y_ = kMargin;
        ApplyFont();
        return Status::Ok();
    }

    // The set size, or a smaller one at which the grid fits between the
    // margins: a monospace font's advance and line height grow with its size.
    void ApplyFont() {
        const UnitMetrics unit = MeasureFont(cr_);
        double size = fontSize_;
        if (columns_ > 0 && unit.advance > 0)
            size = std::min(size, (kSheetWidth - 2 * kMargin) / (columns_ * unit.advance));
        if (lines_ > 0 && unit.height > 0)
            size = std::min(size, (kSheetHeight - 2 * kMargin) / (lines_ * unit.height));
        cairo_set_font_size(cr_, std::max(size, std::min(fontSize_, kSmallestFont)));
        cairo_font_extents(cr_, &extents_);
    }

    void NextSheet() {
        cairo_show_page(cr_);
        ++sheets_;
        y_ = kMargin;
        pendingPage_ = false;
    }

    // Sets one line; a line that no longer fits starts a new sheet, as a
    // printer does with text that runs past the bottom margin.
    void SetLine(std::string_view line) {
        if (pendingPage_) NextSheet();
        // (A grid fitted to the sheet must not lose its last line to rounding.)
        if (y_ + extents_.height > kSheetHeight - kMargin + 0.01 && y_ > kMargin) NextSheet();
        std::string text = ShowableLine(line);
        if (!text.empty()) {
            cairo_move_to(cr_, kMargin, y_ + extents_.ascent);
            cairo_show_text(cr_, text.c_str());
        }
        y_ += extents_.height;
        ++linesSet_;
    }

    std::string printersIni_;
    std::string current_;
    std::string cupsDefault_;
    std::vector<PrinterInfo> cupsDests_;
    bool cupsListed_ = false;
    std::vector<PrinterInfo> folderPrinters_;
    bool foldersListed_ = false;
    std::set<std::string> madeFolders_;  // folder printers' folders known to exist
    FolderDelivery folders_;
    bool sentDirectly_ = false;  // since the last NameHeld, while holding
    std::string lastDelivery_;
    std::string docKey_;
    double fontSize_ = 10;
    int columns_ = 0;  // the text grid the font must fit, 0 for any
    int lines_ = 0;

    cairo_surface_t* pdf_ = nullptr;
    cairo_t* cr_ = nullptr;
    cairo_font_extents_t extents_{};
    std::string tmpPath_;
    std::string docPrinter_;
    bool pendingPage_ = false;
    long linesSet_ = 0;
    int sheets_ = 0;
    double y_ = kMargin;
};

}  // namespace

std::unique_ptr<Printers> MakeSystemPrinters(const std::string& printersIni) {
    return std::make_unique<SystemPrinters>(printersIni);
}

}  // namespace platform
