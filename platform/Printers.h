#pragma once
// The installed printers (CUPS destinations, then the folder printers of
// printers.ini) and the current printer as a text surface. Every document the
// surface ends becomes one PDF: a CUPS job, or a file in the folder printer's
// directory.
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
    virtual Status SetFontSize(double points) = 0;
    virtual Status PrintLine(std::string_view text) = 0;  // the text, then a line end
    virtual Status NewPage() = 0;
    virtual Status EndDoc() = 0;
};

}  // namespace platform
