#pragma once
// A PDF writer for pages that are all fax data: each page holds its images'
// CCITT data unchanged, with nothing else on it. Smaller and much faster than
// going through a general drawing library for the common case of a fax.
#include <cstdio>
#include <string>
#include <vector>

#include "linux/imaging/ImageReaders.h"
#include "platform/Result.h"

namespace platform::imaging {

class FaxPdfWriter {
  public:
    explicit FaxPdfWriter(std::string path) : path_(std::move(path)) {}
    ~FaxPdfWriter();
    FaxPdfWriter(const FaxPdfWriter&) = delete;
    FaxPdfWriter& operator=(const FaxPdfWriter&) = delete;

    Status Begin();
    // The page's bands (all fax data) placed on a sheet of the given size.
    Status AddPage(const PageImage& page, double sheetWidth, double sheetHeight);
    Status Finish();

  private:
    int NewObject();  // starts object n at the current offset
    void Write(const std::string& s);
    void Write(const void* data, std::size_t size);

    std::string path_;
    std::FILE* f_ = nullptr;
    long offset_ = 0;
    bool failed_ = false;
    std::vector<long> offsets_;  // by object number; [0] unused
    std::vector<int> pages_;
};

// Where a page of the given size in pixels and resolution goes on a sheet:
// scaled to fit, in proportion, centred. Points per pixel across and down.
struct Placement {
    double left = 0, top = 0;  // from the sheet's top left, in points
    double xScale = 1, yScale = 1;
};
Placement PlacePage(const PageImage& page, double sheetWidth, double sheetHeight);

}  // namespace platform::imaging
