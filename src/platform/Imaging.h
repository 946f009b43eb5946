#pragma once
// The imaging component: recognises image files (TIFF and XIF, JPEG, BMP, PCX,
// DCX) by their content, counts their pages and prints them one image page
// per sheet, scaled to fit and kept in proportion with the image's own
// horizontal and vertical resolution.
#include <memory>
#include <string>

#include "platform/Result.h"

namespace platform {

class Printers;

enum class ImageFormat { Tiff, Jpeg, Bmp, Pcx, Dcx };

// The most pages one document may have unless options.ini says otherwise
// ([print] max_pages): far beyond any real fax, and a bound on what a small
// hostile file can make the readers walk through. What reaches paper is
// capped per fax by the walk.
inline constexpr int kDefaultMaxPages = 10000;

struct ImageInfo {
    ImageFormat format = ImageFormat::Tiff;
    int pages = 0;
};

// Status details are whole sentences for people: "File not found: /x.tif",
// "Not a readable image: /x.tif (...)", "Truncated image: ...", "Image too
// large: ...". Fail::NotFound for a missing file, Fail::Format for the rest;
// printer failures keep the kinds Printers gives them.
class Imaging {
  public:
    virtual ~Imaging() = default;
    // Checks that the file is a readable image and counts its pages. Dimensions
    // are checked before anything is allocated for a page.
    virtual Result<ImageInfo> Open(const std::string& path) = 0;
    // Prints every page on the named printer (the current one when empty).
    virtual Status Print(const std::string& path, const std::string& printerName) = 0;
};

}  // namespace platform
