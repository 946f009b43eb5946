#pragma once
// Printers and imaging for tests: everything printed is recorded in memory,
// and either can be told to fail.
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/Imaging.h"
#include "platform/Printers.h"

namespace platform {

struct FakeDocument {
    std::string printer;
    // Text documents: the lines of each sheet as the surface set them (split
    // at LF, CR dropped, TABs kept).
    std::vector<std::vector<std::string>> pages;
    std::vector<double> fontSizes;  // every SetFontSize, in order
    int columns = 0, lines = 0;     // the text grid of the last SetFontSize
    // Documents handed over whole (images): their title, path and sheets.
    bool whole = false;
    std::string title;
    std::string pdfPath;
    int sheets = 0;
    bool ended = false;
    std::string key;  // the document key in force when it was begun or handed over
    // Held (see Printers::Hold) under this tag and not named yet: a folder
    // printer would keep it hidden.
    bool held = false;
    std::string heldTag;

    // Sheets of a text document, or the sheets of a whole one.
    int SheetCount() const { return whole ? sheets : static_cast<int>(pages.size()); }
};

class FakePrinters final : public Printers {
  public:
    FakePrinters();  // one installed printer, "Fake Printer", current

    std::vector<PrinterInfo> installed;
    std::string current;
    std::vector<FakeDocument> documents;  // ended documents, then the open one
    int lineCalls = 0;                    // PrintLine calls, held back or not

    // While set, every text-surface call fails with this status.
    std::optional<Status> failText;
    // While set, every PrintDocument fails with this status. PrinterError()
    // and ProcessingError() give the two kinds a caller must tell apart.
    std::optional<Status> failDocuments;
    static Status PrinterError() {
        return Status::Error(Fail::Rejected, "Printer Error : fake printer is not accepting jobs");
    }
    static Status ProcessingError() {
        return Status::Error(Fail::Io, "fake printer could not write the document");
    }

    // While set, Hold() holds every keyed document it may (a folder printer).
    bool holds = false;
    // While set, SyncHeld or NameHeld fails with this status.
    std::optional<Status> failSyncHeld, failNameHeld;
    // Ended documents a person can see: not held, keyed as given.
    int Visible(const std::string& keyPrefix = "") const;

    // The open text document, if a document has begun and not ended.
    FakeDocument* Open();
    // All text lines printed (every document, every sheet) in order.
    std::vector<std::string> AllLines() const;

    std::string LastDelivery() const override { return lastDelivery_; }
    void SetDocumentKey(const std::string& key) override { key_ = key; }
    bool Delivered(const std::string& printerName, const std::string& key) override;
    std::vector<PrinterInfo> Installed() override { return installed; }
    bool SetCurrent(const std::string& deviceName) override;
    std::string Current() override { return current; }
    Status SetFontSize(double points, int columns, int lines) override;
    // 86 columns and 66 lines at 10 points, fewer as the font grows.
    TextGrid SheetGrid(double points) override {
        return points > 0 ? TextGrid{static_cast<int>(860 / points), static_cast<int>(660 / points)}
                          : TextGrid{};
    }
    Status PrintLine(std::string_view text) override;
    Status NewPage() override;
    Status EndDoc() override;
    Status PrintDocument(const std::string& printerName, const std::string& pdfPath,
                         const std::string& title, int pages) override;

    bool Hold(const std::string& tag) override;
    bool SentDirectly() const override { return false; }
    Status SyncHeld() override { return failSyncHeld.value_or(Status::Ok()); }
    Status NameHeld() override;
    void StopHolding() override { holdTag_.clear(); }
    Status RecoverHeld(const std::string& tag,
                       const std::function<bool(const std::string& key)>& printed) override;

  private:
    void HoldIfHolding(FakeDocument& doc);
    std::string holdTag_;
    FakeDocument& Begin();
    bool open_ = false;
    bool pendingPage_ = false;
    std::string lastDelivery_;
    std::string key_;
    double fontSize_ = 10;
    int columns_ = 0, lines_ = 0;
};

// Imaging for tests that do not need real image files: paths are registered
// with a page count or a failure; an unregistered path is "not found" when no
// such file exists and "not a readable image" otherwise. Print hands a
// document to the printers so that their failures come through.
class FakeImaging final : public Imaging {
  public:
    explicit FakeImaging(Printers& printers) : printers_(printers) {}

    void Add(const std::string& path, int pages) { images_[path] = pages; }
    void AddBroken(const std::string& path, Status why) { broken_[path] = std::move(why); }

    struct Printed {
        std::string path;
        std::string printer;
        int pages;
    };
    std::vector<Printed> printed;

    Result<ImageInfo> Open(const std::string& path) override;
    Status Print(const std::string& path, const std::string& printerName) override;

  private:
    Printers& printers_;
    std::map<std::string, int> images_;
    std::map<std::string, Status> broken_;
};

}  // namespace platform
