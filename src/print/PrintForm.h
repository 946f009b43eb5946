#pragma once
// The image print form: loads image files, prints them on the configured
// printer, and reports the outcome in its process-wide values. Also carries
// the one-shot timer of the wake wait.
#include <cstdint>
#include <map>
#include <memory>
#include <string>

#include "platform/Clock.h"
#include "platform/Imaging.h"

namespace platform {
class EventLoop;
class Timer;
}  // namespace platform

namespace print {

struct PrintState {
    bool gflgImageLoaded = false;
    std::string gPrintErrMsg;
    std::string gPageCount;           // page count of the image last printed
    std::int32_t gflgPrintImage = 0;  // -1 printed, 0 not
    std::string gfileExt;             // set by the inbox walk; passed along
    // With a failure that is one of the imaging limits, what it is: "Image
    // too large" or "Too many pages" (never a printer error); else "".
    std::string limit;
    // With a failure of the program's own files (the image written from the
    // message, the temporary PDF: a full or read-only disk), why; else "".
    // It says nothing about the image: the fax must be tried again.
    std::string storage;
    std::int32_t imagePages = 0;  // pages of the image last loaded
};

// The imaging limit a failure's reason names ("Image too large", "Too many
// pages"), or "".
std::string ImagingLimit(const std::string& reason);

class FrmVFPrint {
  public:
    // printerName: the configured printer (Printer_Type), read at every print.
    FrmVFPrint(platform::Imaging& imaging, platform::EventLoop& loop,
               const std::string& printerName);
    ~FrmVFPrint();

    PrintState& state() { return st_; }

    // Loads (checks) an image. What it finds is remembered by path until
    // ForgetImages(): the inbox walk checks each file of a message and then
    // prints it, and the file does not change in between.
    void LoadImageFile(const std::string& filename);
    // Called before the files of the next message are written.
    void ForgetImages() { checked_.clear(); }
    std::int32_t Printout1(const std::string& PrintStr, bool flgPageHdr, const std::string& Sent,
                           const std::string& Received, const std::string& Sender,
                           const std::string& gfileExt);
    void PrintNow(const std::string& filename);

    // The wake wait: Timer1 gets the interval, is enabled, and the event loop
    // runs until Timer1_Timer has disabled it.
    void WaitTimer1(platform::Millis interval);
    void Timer1_Timer();

  private:
    platform::Imaging& imaging_;
    platform::EventLoop& loop_;
    const std::string& printerName_;
    PrintState st_;
    std::string loadedPath_;  // the image held open by the admin control
    std::map<std::string, platform::Result<platform::ImageInfo>> checked_;
    std::unique_ptr<platform::Timer> Timer1_;
};

}  // namespace print
