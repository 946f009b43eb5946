#pragma once
// The installed printers (CUPS destinations, then the folder printers of
// printers.ini) and the current printer as a text surface. Every document the
// surface ends becomes one PDF: a CUPS job, or a file in the folder printer's
// directory.
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Result.h"

namespace platform {

struct PrinterInfo {
    std::string deviceName;
    bool isFolder = false;
    std::string directory;  // folder printers only
};

// Text surfaces set tab stops every this many columns.
inline constexpr int kTabColumns = 8;

// Characters per line and lines per sheet of a text surface.
struct TextGrid {
    int columns = 0;
    int lines = 0;
};

// How printer failures are told apart by their Status kind:
//  - Fail::Rejected: the printer is gone, unknown, or refuses jobs, or a
//    folder printer's folder cannot be written. A caller that walks many
//    documents should stop: nothing more will print until someone acts.
//  - Fail::Io: this one document could not be made or handed over (a CUPS
//    job that failed).
class Printers {
  public:
    virtual ~Printers() = default;

    virtual std::vector<PrinterInfo> Installed() = 0;
    // Makes the printer with exactly this device name the current one.
    virtual bool SetCurrent(const std::string& deviceName) = 0;
    // The current printer's device name ("" when there is none at all).
    virtual std::string Current() = 0;

    // The text surface of the current printer. A document begins with the
    // first line or page; a document begun and never ended is ended when the
    // Printers object is destroyed.
    // The font size of the text lines. A page of `columns` characters by
    // `lines` lines must fit the sheet: where it would not at this size, the
    // surface sets the largest size at which it does.
    virtual Status SetFontSize(double points, int columns, int lines) = 0;
    // The text, then a line end. LF (with or without CR) inside the text
    // starts a new line; a TAB indents to the next tab stop.
    virtual Status PrintLine(std::string_view text) = 0;
    // The grid one sheet holds at this font size, tab indent and header
    // lines included: what a page may be set to without the font shrinking.
    virtual TextGrid SheetGrid(double points) = 0;
    // Takes effect with the next line: ending the document right after a new
    // page adds no blank sheet.
    virtual Status NewPage() = 0;
    virtual Status EndDoc() = 0;

    // Prints a finished PDF file of `pages` sheets as one document on the
    // named printer (the current one when the name is empty). The file stays
    // the caller's, to remove but not to change afterwards: a folder printer
    // may keep it as the printed document.
    virtual Status PrintDocument(const std::string& printerName, const std::string& pdfPath,
                                 const std::string& title, int pages) = 0;

    // Where the last document ended or printed went, for the run log: the
    // PDF file of a folder printer, the job of a CUPS printer.
    virtual std::string LastDelivery() const { return {}; }

    // Names the documents that follow, until it is changed ("" for none): a
    // folder printer puts the key at the end of each PDF's file name, where
    // Delivered() finds it again. Keys are letters, digits and "-".
    virtual void SetDocumentKey(const std::string& key) { (void)key; }
    // True when a document with this key went to the named printer (the
    // current one when empty); false also when the printer cannot tell.
    virtual bool Delivered(const std::string& printerName, const std::string& key) {
        (void)printerName;
        (void)key;
        return false;
    }

    // Holding, for a walk that prints many faxes: a folder printer keeps each
    // keyed document it ends under a hidden name in its folder, and a batch
    // of them costs one sync instead of one each. The walk first records
    // what it printed and only then has the documents named; a run that
    // ends before leaves hidden files that RecoverHeld names or removes.
    // `tag` tells this walk's hidden files from those of other walks
    // (profiles, passes) that print into the same folder. False when this
    // printer object holds nothing (every document goes out at once).
    virtual bool Hold(const std::string& tag) {
        (void)tag;
        return false;
    }
    // A document went out at once since the last CommitHeld (a CUPS job, a
    // document without a key): what the walk records of it must reach the
    // disk now.
    virtual bool SentDirectly() const { return false; }
    // The held documents' contents and hidden names on disk.
    virtual Status SyncHeld() { return Status::Ok(); }
    // The held documents under their names in printing order, on disk;
    // nothing is held afterwards.
    virtual Status NameHeld() { return Status::Ok(); }
    // Stops holding; what is held stays hidden for RecoverHeld.
    virtual void StopHolding() {}
    // The hidden files of a walk with this tag that ended before naming
    // them: those whose key `printed` accepts are named, the others removed.
    virtual Status RecoverHeld(const std::string& tag,
                               const std::function<bool(const std::string& key)>& printed) {
        (void)tag;
        (void)printed;
        return Status::Ok();
    }
};

}  // namespace platform
