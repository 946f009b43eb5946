#pragma once
#include <memory>
#include <string>

#include "platform/Imaging.h"
#include "platform/Printers.h"

namespace platform {

// The real component; temporary PDFs go to tempDir ($TMPDIR or /tmp when empty).
// A document of more than maxPages pages is refused as "Too many pages".
std::unique_ptr<Imaging> MakeImageLibrary(Printers& printers, std::string tempDir = {},
                                          int maxPages = kDefaultMaxPages);
// Renders every page of an image into a PDF file of one page per image page;
// pages receives the count. The real component prints through this.
Status RenderImagePdf(const std::string& imagePath, const std::string& pdfPath, int* pages,
                      int maxPages = kDefaultMaxPages);

// Checks an image without printing it (what Open does).
Result<ImageInfo> ProbeImage(const std::string& path, int maxPages = kDefaultMaxPages);

}  // namespace platform
