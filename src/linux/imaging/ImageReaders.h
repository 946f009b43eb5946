#pragma once
// Readers behind the imaging component. Each opened image hands out its pages
// one at a time as cairo surfaces (or, for fax-coded TIFF pages, strips whose
// compressed data PDF output embeds unchanged), so memory holds one page.
#include <cairo.h>

#include <cstdint>
#include <cstdio>
#include <memory>
#include <string>
#include <vector>

#include "platform/Imaging.h"
#include "platform/Result.h"

namespace platform::imaging {

// Limits that keep a hostile image from costing hours and reams: a small file
// can describe huge pages (a 20 KB TIFF of 7000 x 7000 pixels whose strips
// all share one block of compressed data) or thousands of them. Each is
// checked from the headers, before anything is decoded or allocated.
inline constexpr int kMaxSide = 32767;  // the largest cairo image surface
// One page: a sheet scanned at 600 dpi in colour is some 35 million pixels.
inline constexpr std::int64_t kMaxPixels = 36LL * 1000 * 1000;
// Pages whose pixels must be decoded, in all: some thirty colour pages. Fax
// pages, whose coded data goes into the PDF as it is or which are decoded one
// bilevel page at a time, do not count: a long fax is no bomb.
inline constexpr std::int64_t kMaxDocumentPixels = 256LL * 1024 * 1024;
// The most libtiff may allocate at once (a strip, a tile, a table).
inline constexpr std::int64_t kMaxTiffAlloc = 64LL * 1024 * 1024;
// TIFF files up to this size are mapped whole rather than read piece by piece.
inline constexpr std::uint64_t kMappedTiffBytes = 1024 * 1024;

// An open stdio file, closed when it goes.
struct FileCloser {
    void operator()(std::FILE* f) const {
        if (f) std::fclose(f);
    }
};
using FilePtr = std::unique_ptr<std::FILE, FileCloser>;

// Little-endian fields of the BMP, PCX and DCX headers.
inline std::uint16_t Le16(const unsigned char* p) {
    return static_cast<std::uint16_t>(p[0] | (p[1] << 8));
}
inline std::uint32_t Le32(const unsigned char* p) {
    return p[0] | (p[1] << 8) | (p[2] << 16) | (static_cast<std::uint32_t>(p[3]) << 24);
}

struct SurfaceDeleter {
    void operator()(cairo_surface_t* s) const { cairo_surface_destroy(s); }
};
using SurfacePtr = std::unique_ptr<cairo_surface_t, SurfaceDeleter>;

// Fax-coded image data as a PDF CCITTFaxDecode filter takes it.
struct FaxData {
    std::vector<unsigned char> bytes;
    int columns = 0;
    int rows = 0;
    int K = -1;  // -1 T.6, 0 one-dimensional, > 0 mixed
    bool endOfLine = false;
    bool encodedByteAlign = false;
    bool blackIs1 = false;
};

struct PageImage {
    int width = 0;
    int height = 0;
    double xdpi = 72;
    double ydpi = 72;
    // Bands from the top, each drawn at its row offset; one band for most
    // pages. A band holds pixels or fax data (never both).
    struct Band {
        SurfacePtr surface;
        int top = 0;
        int rows = 0;
        std::shared_ptr<FaxData> fax;
    };
    std::vector<Band> bands;
    bool AllFax() const {
        for (const auto& b : bands)
            if (!b.fax) return false;
        return !bands.empty();
    }
};

// A cairo surface that carries the fax data for cairo's PDF output, which
// embeds it unchanged. cairo 1.16 drops such an image when its parameters
// hold more than one flag: nullptr then.
SurfacePtr FaxSurface(const FaxData& fax);

class ImageSource {
  public:
    virtual ~ImageSource() = default;
    virtual ImageFormat format() const = 0;
    virtual int PageCount() const = 0;
    virtual Result<PageImage> LoadPage(int index) = 0;
    // True when every page is fax data that PDF can take as it is.
    virtual bool AllPagesFax() const { return false; }
    // The page as pixels even when it is fax data.
    virtual Result<PageImage> LoadPixels(int index) { return LoadPage(index); }
};

// Opens by content, not by name. Fail::NotFound for a missing file,
// Fail::Format with a sentence naming the problem otherwise.
// maxPages: the most pages a document may have ([print] max_pages).
Result<std::unique_ptr<ImageSource>> OpenImage(const std::string& path, int maxPages);

// Per format; `path` for messages, the file is already known to be readable.
Result<std::unique_ptr<ImageSource>> OpenTiff(const std::string& path, int maxPages);
Result<std::unique_ptr<ImageSource>> OpenJpeg(const std::string& path);
Result<std::unique_ptr<ImageSource>> OpenBmp(const std::string& path);
Result<std::unique_ptr<ImageSource>> OpenPcx(const std::string& path, bool dcx, int maxPages);

// Helpers shared by the readers.
Status NotReadable(const std::string& path, const std::string& why);
Status Truncated(const std::string& path);
Status TooLarge(const std::string& path, std::int64_t width, std::int64_t height);
// "Image too large: ..." for a reason other than a page's size.
Status TooLarge(const std::string& path, const std::string& why);
Status TooManyPages(const std::string& path, int maxPages);
// Checks a document's pages against the limits: the page count, and the
// pixels of the pages that must be decoded.
Status CheckDocument(const std::string& path, std::int64_t pages, int maxPages,
                     std::int64_t decodedPixels);
// Checks the dimensions against the limits (before any allocation).
Status CheckSize(const std::string& path, std::int64_t width, std::int64_t height);
// An opaque white RGB24 surface of that size, or a Status.
Result<SurfacePtr> NewRgbSurface(const std::string& path, int width, int height);
// A resolution that makes sense, else the fallback.
double SaneDpi(double dpi, double fallback);

}  // namespace platform::imaging
