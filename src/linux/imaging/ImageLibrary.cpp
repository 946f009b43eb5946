// The imaging component: opens image files by content, renders their pages
// into PDF one image page per sheet, and hands the PDF to a printer.
#include "linux/imaging/ImageLibrary.h"

#include <cairo-pdf.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <optional>

#include "linux/imaging/ImageReaders.h"
#include "linux/imaging/PdfDocument.h"
#include "platform/Printers.h"

namespace platform {

namespace imaging {

Status NotReadable(const std::string& path, const std::string& why) {
    return Status::Error(Fail::Format, "Not a readable image: " + path + " (" + why + ")");
}

Status Truncated(const std::string& path) {
    return Status::Error(Fail::Format, "Truncated image: " + path);
}

Status TooLarge(const std::string& path, std::int64_t width, std::int64_t height) {
    return Status::Error(Fail::Format, "Image too large: " + path + " (" + std::to_string(width) +
                                           " x " + std::to_string(height) + " pixels)");
}

Status TooLarge(const std::string& path, const std::string& why) {
    return Status::Error(Fail::Format, "Image too large: " + path + " (" + why + ")");
}

Status TooManyPages(const std::string& path, int maxPages) {
    return Status::Error(
        Fail::Format, "Too many pages: " + path + " (more than " + std::to_string(maxPages) + ")");
}

Status CheckDocument(const std::string& path, std::int64_t pages, int maxPages,
                     std::int64_t decodedPixels) {
    if (pages > maxPages) return TooManyPages(path, maxPages);
    if (decodedPixels > kMaxDocumentPixels)
        return TooLarge(path, std::to_string(decodedPixels / 1000000) +
                                  " million pixels to decode in all, at most " +
                                  std::to_string(kMaxDocumentPixels / 1000000));
    return Status::Ok();
}

Status CheckSize(const std::string& path, std::int64_t width, std::int64_t height) {
    if (width <= 0 || height <= 0) return NotReadable(path, "no pixels");
    if (width > kMaxSide || height > kMaxSide || width * height > kMaxPixels)
        return TooLarge(path, width, height);
    return Status::Ok();
}

Result<SurfacePtr> NewRgbSurface(const std::string& path, int width, int height) {
    Status st = CheckSize(path, width, height);
    if (!st) return st;
    SurfacePtr s(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
    if (cairo_surface_status(s.get()) != CAIRO_STATUS_SUCCESS)
        return Status::Error(Fail::Internal, "Out of memory for image: " + path);
    cairo_surface_flush(s.get());
    std::memset(cairo_image_surface_get_data(s.get()), 0xff,
                static_cast<std::size_t>(cairo_image_surface_get_stride(s.get())) *
                    static_cast<std::size_t>(height));
    return s;
}

double SaneDpi(double dpi, double fallback) {
    return (std::isfinite(dpi) && dpi >= 10 && dpi <= 10000) ? dpi : fallback;
}

Result<std::unique_ptr<ImageSource>> OpenImage(const std::string& path, int maxPages) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) {
        if (errno == ENOENT || errno == ENOTDIR)
            return Status::Error(Fail::NotFound, "File not found: " + path);
        return Status::Error(Fail::Io,
                             "Cannot open image file: " + path + " (" + std::strerror(errno) + ")");
    }
    struct stat st {};
    unsigned char magic[8] = {};
    ssize_t n = 0;
    if (::fstat(fd, &st) == 0 && S_ISREG(st.st_mode)) n = ::read(fd, magic, sizeof magic);
    ::close(fd);
    if (!S_ISREG(st.st_mode)) return NotReadable(path, "not a regular file");
    if (n < 4) return NotReadable(path, n <= 0 ? "empty file" : "too short");

    if ((magic[0] == 'I' && magic[1] == 'I' && (magic[2] == 42 || magic[2] == 43) &&
         magic[3] == 0) ||
        (magic[0] == 'M' && magic[1] == 'M' && magic[2] == 0 && (magic[3] == 42 || magic[3] == 43)))
        return OpenTiff(path, maxPages);
    if (magic[0] == 0xff && magic[1] == 0xd8 && magic[2] == 0xff) return OpenJpeg(path);
    if (magic[0] == 'B' && magic[1] == 'M') return OpenBmp(path);
    if (magic[0] == 0xb1 && magic[1] == 0x68 && magic[2] == 0xde && magic[3] == 0x3a)
        return OpenPcx(path, true, maxPages);
    if (magic[0] == 0x0a && magic[1] <= 5 && magic[2] == 1) return OpenPcx(path, false, maxPages);
    return NotReadable(path, "unknown file type");
}

SurfacePtr FaxSurface(const FaxData& fax) {
    const int flags = int(fax.endOfLine) + int(fax.encodedByteAlign) + int(fax.blackIs1);
    if (flags > 1) return nullptr;
    char params[200];
    std::snprintf(params, sizeof params, "Columns=%d Rows=%d K=%d%s%s%s", fax.columns, fax.rows,
                  fax.K, fax.endOfLine ? " EndOfLine=true" : "",
                  fax.encodedByteAlign ? " EncodedByteAlign=true" : "",
                  fax.blackIs1 ? " BlackIs1=true" : "");
    const std::size_t plen = std::strlen(params);
    // cairo owns both copies and reads the parameters as a C string. An A1
    // surface keeps the placeholder small; its pixels are never used.
    auto* pcopy = static_cast<unsigned char*>(std::malloc(plen + 1));
    auto* data =
        static_cast<unsigned char*>(std::malloc(std::max<std::size_t>(fax.bytes.size(), 1)));
    SurfacePtr surf(cairo_image_surface_create(CAIRO_FORMAT_A1, fax.columns, fax.rows));
    if (!pcopy || !data || cairo_surface_status(surf.get()) != CAIRO_STATUS_SUCCESS) {
        std::free(pcopy);
        std::free(data);
        return nullptr;
    }
    std::memcpy(pcopy, params, plen + 1);
    std::memcpy(data, fax.bytes.data(), fax.bytes.size());
    cairo_surface_set_mime_data(surf.get(), CAIRO_MIME_TYPE_CCITT_FAX, data, fax.bytes.size(),
                                std::free, data);
    cairo_surface_set_mime_data(surf.get(), CAIRO_MIME_TYPE_CCITT_FAX_PARAMS, pcopy, plen,
                                std::free, pcopy);
    return surf;
}

}  // namespace imaging

namespace {

// A4 in points: the sheet every image page is placed on.
constexpr double kSheetWidth = 595.276;
constexpr double kSheetHeight = 841.89;

// Every band can be drawn: fax data that cairo cannot carry is decoded.
bool Drawable(const imaging::PageImage& page) {
    for (const auto& b : page.bands) {
        if (b.fax && (b.fax->endOfLine + b.fax->encodedByteAlign + b.fax->blackIs1) > 1)
            return false;
    }
    return true;
}

Status DrawPage(cairo_t* cr, const imaging::PageImage& page) {
    const imaging::Placement at = imaging::PlacePage(page, kSheetWidth, kSheetHeight);
    cairo_save(cr);
    cairo_translate(cr, at.left, at.top);
    cairo_scale(cr, at.xScale, at.yScale);
    for (const auto& band : page.bands) {
        imaging::SurfacePtr fax;
        cairo_surface_t* s = band.surface.get();
        if (band.fax) {
            fax = imaging::FaxSurface(*band.fax);
            if (!fax) {
                cairo_restore(cr);
                return Status::Error(Fail::Internal, "Out of memory for a fax page");
            }
            s = fax.get();
        }
        cairo_set_source_surface(cr, s, 0, band.top);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_FAST);
        cairo_paint(cr);
    }
    cairo_restore(cr);
    return Status::Ok();
}

// Fax documents: straight to PDF, the fax data as it is.
Status WriteFaxPdf(imaging::ImageSource& src, const std::string& pdfPath) {
    imaging::FaxPdfWriter pdf(pdfPath);
    Status st = pdf.Begin();
    for (int i = 0; st && i < src.PageCount(); ++i) {
        auto page = src.LoadPage(i);
        if (!page) return page.status();
        if (!page->AllFax()) return Status::Error(Fail::Internal, "not a fax page");
        st = pdf.AddPage(*page, kSheetWidth, kSheetHeight);
    }
    return st ? pdf.Finish() : st;
}

// Everything else: drawn with cairo.
Status DrawPdf(imaging::ImageSource& src, const std::string& pdfPath) {
    cairo_surface_t* pdf = cairo_pdf_surface_create(pdfPath.c_str(), kSheetWidth, kSheetHeight);
    cairo_t* cr = cairo_create(pdf);
    Status st;
    for (int i = 0; i < src.PageCount() && st; ++i) {
        auto page = src.LoadPage(i);
        if (page && !Drawable(*page)) page = src.LoadPixels(i);
        if (!page) {
            st = page.status();
            break;
        }
        st = DrawPage(cr, *page);
        cairo_show_page(cr);
    }
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    if (st && cairo_surface_status(pdf) != CAIRO_STATUS_SUCCESS) {
        st = Status::Error(Fail::Io, "Cannot write " + pdfPath + ": " +
                                         cairo_status_to_string(cairo_surface_status(pdf)));
        // cairo keeps no errno; the file it could not write is ours, in the
        // program's temporary folder, so it is told as a file-system failure.
        st.error = EIO;
    }
    cairo_surface_destroy(pdf);
    return st;
}

}  // namespace

Result<ImageInfo> ProbeImage(const std::string& path, int maxPages) {
    try {
        auto src = imaging::OpenImage(path, maxPages);
        if (!src) return src.status();
        return ImageInfo{(*src)->format(), (*src)->PageCount()};
    } catch (...) {
        return Status::Error(Fail::Internal, "Out of memory for image: " + path);
    }
}

namespace {

// Every page of an open image into a PDF file.
Status RenderSource(imaging::ImageSource& src, const std::string& imagePath,
                    const std::string& pdfPath, int* pages) {
    try {
        Status st = src.AllPagesFax() ? WriteFaxPdf(src, pdfPath) : DrawPdf(src, pdfPath);
        if (!st) {
            ::unlink(pdfPath.c_str());
            return st;
        }
        if (pages) *pages = src.PageCount();
        return Status::Ok();
    } catch (...) {
        ::unlink(pdfPath.c_str());
        return Status::Error(Fail::Internal, "Out of memory for image: " + imagePath);
    }
}

// What tells a file's contents apart from those it had before: a file
// written over in place keeps its inode but not its times.
struct FileVersion {
    dev_t dev = 0;
    ino_t ino = 0;
    off_t size = -1;
    timespec mtime{}, ctime{};
    bool operator==(const FileVersion& o) const {
        return dev == o.dev && ino == o.ino && size == o.size && mtime.tv_sec == o.mtime.tv_sec &&
               mtime.tv_nsec == o.mtime.tv_nsec && ctime.tv_sec == o.ctime.tv_sec &&
               ctime.tv_nsec == o.ctime.tv_nsec;
    }
};

std::optional<FileVersion> VersionOf(const std::string& path) {
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    return FileVersion{st.st_dev, st.st_ino, st.st_size, st.st_mtim, st.st_ctim};
}

}  // namespace

Status RenderImagePdf(const std::string& imagePath, const std::string& pdfPath, int* pages,
                      int maxPages) {
    try {
        auto src = imaging::OpenImage(imagePath, maxPages);
        if (!src) return src.status();
        return RenderSource(**src, imagePath, pdfPath, pages);
    } catch (...) {
        return Status::Error(Fail::Internal, "Out of memory for image: " + imagePath);
    }
}

namespace {

class ImageLibrary final : public Imaging {
  public:
    ImageLibrary(Printers& printers, std::string tempDir, int maxPages)
        : printers_(printers), tempDir_(std::move(tempDir)), maxPages_(maxPages) {
        if (tempDir_.empty()) {
            const char* t = std::getenv("TMPDIR");
            tempDir_ = (t && *t) ? t : "/tmp";
        }
    }

    // The image checked last stays open: a file is checked and then
    // printed, and need not be opened and read twice.
    Result<ImageInfo> Open(const std::string& path) override {
        opened_.reset();
        try {
            auto src = imaging::OpenImage(path, maxPages_);
            if (!src) return src.status();
            ImageInfo info{(*src)->format(), (*src)->PageCount()};
            if (auto version = VersionOf(path)) {
                openedPath_ = path;
                openedVersion_ = *version;
                opened_ = std::move(*src);
            }
            return info;
        } catch (...) {
            return Status::Error(Fail::Internal, "Out of memory for image: " + path);
        }
    }

    Status Print(const std::string& path, const std::string& printerName) override {
        std::unique_ptr<imaging::ImageSource> src = std::move(opened_);
        if (src && (openedPath_ != path || VersionOf(path) != openedVersion_)) src.reset();
        if (!src) {
            try {
                auto again = imaging::OpenImage(path, maxPages_);
                if (!again) return again.status();
                src = std::move(*again);
            } catch (...) {
                return Status::Error(Fail::Internal, "Out of memory for image: " + path);
            }
        }
        std::string tmpl = tempDir_ + "/voxafax-image-XXXXXX.pdf";
        std::vector<char> name(tmpl.begin(), tmpl.end());
        name.push_back('\0');
        int fd = ::mkstemps(name.data(), 4);
        if (fd < 0) return ErrnoStatus(Fail::Io, "Cannot create a temporary file in " + tempDir_);
        ::close(fd);
        const std::string pdfPath(name.data());
        int pages = 0;
        Status st = RenderSource(*src, path, pdfPath, &pages);
        src.reset();
        if (!st) return st;
        std::string title = path.substr(path.find_last_of('/') + 1);
        st = printers_.PrintDocument(printerName, pdfPath, title, pages);
        ::unlink(pdfPath.c_str());
        return st;
    }

  private:
    Printers& printers_;
    std::string tempDir_;
    int maxPages_;
    std::unique_ptr<imaging::ImageSource> opened_;  // the image checked last, still open
    std::string openedPath_;
    FileVersion openedVersion_;
};

}  // namespace

std::unique_ptr<Imaging> MakeImageLibrary(Printers& printers, std::string tempDir, int maxPages) {
    return std::make_unique<ImageLibrary>(printers, std::move(tempDir), maxPages);
}

}  // namespace platform
