#pragma once
// The plain-text page printer and its text helpers.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class EventLoop;
class Printers;
class ProfileStore;
}  // namespace platform

namespace print {

// What the page printer works with.
struct TextPrinterServices {
    platform::Printers& printers;           // the current printer's text surface
    const platform::ProfileStore& profile;  // its three page keys, read at every call
    platform::EventLoop& loop;              // yielded to between lines
    // The run-wide test flag is set and text_pages is off: the pages are
    // counted but nothing reaches the printer, not even a page header.
    bool holdBack = false;
};

// Cuts PrintStr into lines and pages on the current printer (optionally each
// page headed by "S sent  R  received    sender   Page No. n" and an empty
// line). PrintStr is consumed; PageNo is pages printed + 1 on return. The
// font is made smaller where the configured characters per line and lines
// per page would not fit the sheet. False only when the printer reports that
// it is gone (or its folder cannot be written); every other failure of the
// printer is skipped. When it returns false, *failure (if given) holds the
// printer's reason.
bool TextOnLocalPrinter(const TextPrinterServices& svc, std::string& PrintStr, bool flgPageHdr,
                        const std::string& Sent, const std::string& Received,
                        const std::string& Sender, std::int32_t& PageNo,
                        std::string* failure = nullptr);

// First piece of an over-long line, up to and including its last blank at or
// before width, with CR LF appended; rest receives what follows.
std::string BreakLine(const std::string& line, int width, std::string& rest);

bool HasPrintableText(std::string_view text);
bool AllBlanks(std::string_view text);

// Reads a whole file; false (content untouched) when it cannot be opened.
bool LoadFile(const std::string& path, std::string& content, std::int16_t& fileNumber);

}  // namespace print
