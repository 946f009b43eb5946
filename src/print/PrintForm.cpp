#include "print/PrintForm.h"

#include "platform/EventLoop.h"
#include "platform/Imaging.h"

namespace print {

namespace {

bool Contains(const std::string& text, const std::string& what) {
    return text.find(what) != std::string::npos;
}

}  // namespace

namespace {

// A failure of the local file system (it carries the system's error number)
// rather than of the image or the printer.
bool LocalFiles(const platform::Status& st) {
    return st.kind == platform::Fail::Io && st.error != 0;
}

}  // namespace

std::string ImagingLimit(const std::string& reason) {
    for (const char* limit : {"Image too large", "Too many pages"})
        if (reason.rfind(limit, 0) == 0) return limit;
    return {};
}

FrmVFPrint::FrmVFPrint(platform::Imaging& imaging, platform::EventLoop& loop,
                       const std::string& printerName)
    : imaging_(imaging),
      loop_(loop),
      printerName_(printerName),
      Timer1_(std::make_unique<platform::Timer>(loop, [this] { Timer1_Timer(); })) {}

FrmVFPrint::~FrmVFPrint() = default;

void FrmVFPrint::LoadImageFile(const std::string& filename) {
    // The path stays set even when the file is no image, as the admin
    // control's file property would: the next print meets the same error.
    loadedPath_ = filename;
    st_.limit.clear();
    st_.storage.clear();
    st_.imagePages = 0;
    try {
        auto known = checked_.find(filename);
        if (known == checked_.end())
            known = checked_.insert_or_assign(filename, imaging_.Open(filename)).first;
        const auto& info = known->second;
        if (info) {
            st_.gflgImageLoaded = true;
            st_.gPrintErrMsg.clear();
            st_.imagePages = info->pages;
        } else {
            st_.gflgImageLoaded = false;
            st_.gPrintErrMsg = info.status().detail;
            st_.limit = ImagingLimit(st_.gPrintErrMsg);
            if (LocalFiles(info.status())) st_.storage = info.status().detail;
        }
    } catch (...) {
        st_.gflgImageLoaded = false;
        st_.gPrintErrMsg = "Not a readable image: " + filename;
    }
}

std::int32_t FrmVFPrint::Printout1(const std::string& /*PrintStr*/, bool /*flgPageHdr*/,
                                   const std::string& /*Sent*/, const std::string& /*Received*/,
                                   const std::string& /*Sender*/, const std::string& /*gfileExt*/) {
    st_.gPrintErrMsg.clear();
    st_.limit.clear();
    st_.storage.clear();
    try {
        if (loadedPath_.empty()) {
            st_.gPrintErrMsg = "No image file loaded";
            return 0;
        }
        // Showing the first page and reading the page count: a failure here
        // is reported with its own reason. The check that loading made holds.
        auto known = checked_.find(loadedPath_);
        if (known == checked_.end())
            known = checked_.insert_or_assign(loadedPath_, imaging_.Open(loadedPath_)).first;
        const auto& info = known->second;
        if (!info) {
            st_.gPrintErrMsg = info.status().detail;
            st_.limit = ImagingLimit(st_.gPrintErrMsg);
            if (LocalFiles(info.status())) st_.storage = info.status().detail;
            return 0;
        }
        st_.gPageCount = std::to_string(info->pages);

        platform::Status printed = imaging_.Print(loadedPath_, printerName_);
        if (printed) return -1;
        switch (printed.kind) {
            case platform::Fail::Cancelled:
                st_.gPrintErrMsg = "User cancelled printing.";
                break;
            case platform::Fail::Rejected:
                // The printer itself is gone or refuses work: the inbox walk
                // recognises "Printer Error" and stops printing.
                st_.gPrintErrMsg = Contains(printed.detail, "Printer Error")
                                       ? printed.detail
                                       : "Printer Error : " + printed.detail;
                break;
            default:
                // An image that turned out too large while it was drawn (a
                // library's allocation cap) is told as such, not as a fault
                // of the printer.
                st_.limit = ImagingLimit(printed.detail);
                st_.gPrintErrMsg = st_.limit.empty() ? "Print Processing Error" : printed.detail;
                if (LocalFiles(printed)) st_.storage = printed.detail;
                break;
        }
        return 0;
    } catch (...) {
        st_.gPrintErrMsg = "Print Processing Error";
        return 0;
    }
}

void FrmVFPrint::PrintNow(const std::string& filename) {
    LoadImageFile(filename);
    st_.gflgPrintImage = Printout1(filename, false, "", "", "", st_.gfileExt);
}

void FrmVFPrint::WaitTimer1(platform::Millis interval) {
    Timer1_->SetInterval(interval);
    Timer1_->SetEnabled(true);
    while (Timer1_->Enabled()) {
        if (!loop_.RunOnce(true)) break;  // nothing left that could wake us
    }
}

void FrmVFPrint::Timer1_Timer() {
    Timer1_->SetEnabled(false);
}

}  // namespace print
