// TIFF (and the TIFF-based XIF) pages. Fax-coded pages (modified Huffman,
// T.4, T.6) keep their compressed strips: PDF output embeds them unchanged.
// Every other TIFF goes through libtiff's RGBA decoder.
#include <sys/stat.h>
#include <tiffio.h>

#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "platform/linux/ImageReaders.h"

namespace platform::imaging {

namespace {

int KeepFirstError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* out = static_cast<std::string*>(user);
    if (out->empty()) {
        char buf[400];
        std::vsnprintf(buf, sizeof buf, fmt, ap);
        *out = module && *module ? std::string(module) + ": " + buf : std::string(buf);
    }
    return 1;  // handled: nothing reaches stderr
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

const std::array<unsigned char, 256>& BitReverse() {
    static const std::array<unsigned char, 256> table = [] {
        std::array<unsigned char, 256> t{};
        for (int i = 0; i < 256; ++i) {
            int r = 0;
            for (int b = 0; b < 8; ++b)
                if (i & (1 << b)) r |= 0x80 >> b;
            t[static_cast<std::size_t>(i)] = static_cast<unsigned char>(r);
        }
        return t;
    }();
    return table;
}

// True when the data opens with an EOL code (at least 11 zero bits, then a 1).
bool StartsWithEol(const unsigned char* data, std::size_t size) {
    int zeros = 0;
    for (std::size_t i = 0; i < size && i < 64; ++i) {
        for (int b = 7; b >= 0; --b) {
            if (data[i] & (1 << b)) return zeros >= 11;
            ++zeros;
        }
    }
    return false;
}

struct Page {
    tdir_t dir = 0;
    std::uint32_t width = 0, height = 0;
    double xdpi = 72, ydpi = 72;
    bool passThrough = false;
    std::uint16_t compression = 1;
    std::uint16_t photometric = 0;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    std::uint32_t group3 = 0;
    std::uint32_t rowsPerStrip = 0;
};

class TiffSource final : public ImageSource {
  public:
    explicit TiffSource(std::string path) : path_(std::move(path)) {}
    ~TiffSource() override {
        if (tif_) TIFFClose(tif_);
    }

    Status Open() {
        struct stat st {};
        if (::stat(path_.c_str(), &st) != 0)
            return Status::Error(Fail::NotFound, "File not found: " + path_);
        fileSize_ = static_cast<std::uint64_t>(st.st_size);
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(opts, KeepFirstError, &error_);
        TIFFOpenOptionsSetWarningHandlerExtR(opts, IgnoreWarning, nullptr);
        // Bounds libtiff's own allocations for hostile headers.
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts, 64 * 1024 * 1024);
        tif_ = TIFFOpenExt(path_.c_str(), "r", opts);
        TIFFOpenOptionsFree(opts);
        if (!tif_) {
            if (FirstDirectoryBeyondEnd()) return Truncated(path_);
            return Bad(error_.empty() ? "damaged TIFF header" : error_);
        }
        do {
            if (pages_.size() >= static_cast<std::size_t>(kMaxPages)) return Bad("too many pages");
            Page p;
            p.dir = TIFFCurrentDirectory(tif_);
            Status s = Examine(p);
            if (!s) return s;
            pages_.push_back(p);
        } while (TIFFReadDirectory(tif_));
        // A page chain that breaks off: printing the pages before the break
        // would silently lose the rest.
        if (!error_.empty()) return Truncated(path_);
        return Status::Ok();
    }

    ImageFormat format() const override { return ImageFormat::Tiff; }
    int PageCount() const override { return static_cast<int>(pages_.size()); }

    Result<PageImage> LoadPage(int index) override {
        const Page& p = pages_.at(static_cast<std::size_t>(index));
        error_.clear();
        if (!TIFFSetDirectory(tif_, p.dir)) return Bad(error_.empty() ? "lost page" : error_);
        PageImage out;
        out.width = static_cast<int>(p.width);
        out.height = static_cast<int>(p.height);
        out.xdpi = p.xdpi;
        out.ydpi = p.ydpi;
        Status s = p.passThrough ? FaxBands(p, out) : Decoded(p, out);
        if (!s) return s;
        return out;
    }

  private:
    Status Bad(const std::string& why) { return NotReadable(path_, why); }

    // A classic TIFF whose first page directory lies past the end of the file.
    bool FirstDirectoryBeyondEnd() const {
        std::FILE* f = std::fopen(path_.c_str(), "rb");
        if (!f) return false;
        unsigned char h[8] = {};
        const bool got = std::fread(h, 1, 8, f) == 8;
        std::fclose(f);
        if (!got || h[2] + h[3] != 42) return false;
        const std::uint32_t off = h[0] == 'I'
                                      ? (h[4] | h[5] << 8 | h[6] << 16 | std::uint32_t(h[7]) << 24)
                                      : (std::uint32_t(h[4]) << 24 | h[5] << 16 | h[6] << 8 | h[7]);
        return off >= fileSize_;
    }

    Status Examine(Page& p) {
        std::uint32_t w = 0, h = 0;
        if (!TIFFGetField(tif_, TIFFTAG_IMAGEWIDTH, &w) ||
            !TIFFGetField(tif_, TIFFTAG_IMAGELENGTH, &h))
            return Bad("page without dimensions");
        Status s = CheckSize(path_, w, h);
        if (!s) return s;
        p.width = w;
        p.height = h;
        std::uint16_t bps = 1, spp = 1, planar = PLANARCONFIG_CONTIG,
                      orientation = ORIENTATION_TOPLEFT;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_BITSPERSAMPLE, &bps);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_SAMPLESPERPIXEL, &spp);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_PLANARCONFIG, &planar);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_ORIENTATION, &orientation);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_COMPRESSION, &p.compression);
        TIFFGetFieldDefaulted(tif_, TIFFTAG_FILLORDER, &p.fillOrder);
        if (!TIFFGetField(tif_, TIFFTAG_PHOTOMETRIC, &p.photometric))
            p.photometric = PHOTOMETRIC_MINISWHITE;
        if (p.compression == COMPRESSION_CCITTFAX3)
            TIFFGetFieldDefaulted(tif_, TIFFTAG_GROUP3OPTIONS, &p.group3);
        if (!TIFFIsCODECConfigured(p.compression))
            return Bad("unsupported TIFF compression " + std::to_string(p.compression));

        // Resolution: fax pages without one are taken as fine fax pages.
        float xr = 0, yr = 0;
        std::uint16_t unit = RESUNIT_INCH;
        bool hasX = TIFFGetField(tif_, TIFFTAG_XRESOLUTION, &xr) != 0;
        bool hasY = TIFFGetField(tif_, TIFFTAG_YRESOLUTION, &yr) != 0;
        TIFFGetFieldDefaulted(tif_, TIFFTAG_RESOLUTIONUNIT, &unit);
        const bool fax = p.compression == COMPRESSION_CCITTRLE ||
                         p.compression == COMPRESSION_CCITTFAX3 ||
                         p.compression == COMPRESSION_CCITTFAX4;
        double fx = fax ? 204 : 72, fy = fax ? 196 : 72;
        double k = unit == RESUNIT_CENTIMETER ? 2.54 : 1.0;
        if (unit == RESUNIT_NONE && hasX && hasY && xr > 0 && yr > 0) {
            // Only the aspect is known.
            p.xdpi = 72;
            p.ydpi = SaneDpi(72.0 * yr / xr, 72);
        } else {
            p.xdpi = hasX ? SaneDpi(xr * k, fx) : fx;
            p.ydpi = hasY ? SaneDpi(yr * k, hasX ? p.xdpi : fy) : (hasX ? p.xdpi : fy);
        }

        const bool tiled = TIFFIsTiled(tif_) != 0;
        // Every strip or tile must lie inside the file.
        const std::uint32_t n = tiled ? TIFFNumberOfTiles(tif_) : TIFFNumberOfStrips(tif_);
        if (n == 0) return Bad("page without image data");
        for (std::uint32_t i = 0; i < n; ++i) {
            int err = 0;
            std::uint64_t off = TIFFGetStrileOffsetWithErr(tif_, i, &err);
            std::uint64_t len = err ? 0 : TIFFGetStrileByteCountWithErr(tif_, i, &err);
            if (err) return Bad(error_.empty() ? "damaged strip table" : error_);
            if (len == 0 || off > fileSize_ || len > fileSize_ - off) return Truncated(path_);
        }

        TIFFGetFieldDefaulted(tif_, TIFFTAG_ROWSPERSTRIP, &p.rowsPerStrip);
        if (p.rowsPerStrip == 0 || p.rowsPerStrip > h) p.rowsPerStrip = h;
        p.passThrough =
            fax && !tiled && bps == 1 && spp == 1 && orientation == ORIENTATION_TOPLEFT &&
            (p.photometric == PHOTOMETRIC_MINISWHITE || p.photometric == PHOTOMETRIC_MINISBLACK) &&
            (p.compression != COMPRESSION_CCITTFAX3 || (p.group3 & GROUP3OPT_UNCOMPRESSED) == 0) &&
            static_cast<std::uint64_t>(n) ==
                (static_cast<std::uint64_t>(h) + p.rowsPerStrip - 1) / p.rowsPerStrip;
        if (!p.passThrough) {
            char emsg[1024] = "";
            if (!TIFFRGBAImageOK(tif_, emsg)) return Bad(emsg);
        }
        return Status::Ok();
    }

    // The compressed data of the page's strips, handed to the PDF as it is.
    // Rows of modified Huffman and of T.4 data with EOL codes stand alone
    // (every strip starts afresh with a one-dimensional row), so their strips
    // join into one image; T.6 strips each refer to a white line above their
    // first row and become one image band each.
    Status FaxBands(const Page& p, PageImage& out) {
        const std::uint32_t strips = TIFFNumberOfStrips(tif_);
        const bool blackIs1 = p.photometric == PHOTOMETRIC_MINISBLACK;
        int K = -1;
        bool eol = false, align = false;
        if (p.compression == COMPRESSION_CCITTRLE) {
            K = 0;
            align = true;  // every row starts on a byte
        } else if (p.compression == COMPRESSION_CCITTFAX3) {
            K = (p.group3 & GROUP3OPT_2DENCODING) ? (p.ydpi > 150 ? 4 : 2) : 0;
        }
        std::vector<unsigned char> joined;
        std::uint32_t top = 0, joinedTop = 0, joinedRows = 0;
        bool join = false;
        std::vector<unsigned char> data;
        for (std::uint32_t s = 0; s < strips && top < p.height; ++s) {
            const std::uint32_t rows = std::min(p.rowsPerStrip, p.height - top);
            int err = 0;
            const std::uint64_t len = TIFFGetStrileByteCountWithErr(tif_, s, &err);
            if (err || len == 0 || len > fileSize_) return Truncated(path_);
            data.resize(static_cast<std::size_t>(len));
            tmsize_t got = TIFFReadRawStrip(tif_, s, data.data(), static_cast<tmsize_t>(len));
            if (got <= 0) return error_.empty() ? Truncated(path_) : Bad(error_);
            data.resize(static_cast<std::size_t>(got));
            if (p.fillOrder == FILLORDER_LSB2MSB) {
                const auto& rev = BitReverse();
                for (auto& byte : data) byte = rev[byte];
            }
            if (s == 0) {
                if (p.compression == COMPRESSION_CCITTFAX3)
                    eol = StartsWithEol(data.data(), data.size());
                // cairo 1.16 drops an image whose parameters hold more than
                // one flag, so such a page is decoded instead.
                if (int(eol) + int(align) + int(blackIs1) > 1) return Decoded(p, out);
                join = p.compression == COMPRESSION_CCITTRLE || eol;
            }
            if (join) {
                joined.insert(joined.end(), data.begin(), data.end());
                joinedRows += rows;
            } else {
                Status st = AddBand(out, p, data, top, rows, K, eol, align, blackIs1);
                if (!st) return st;
            }
            top += rows;
        }
        if (join) return AddBand(out, p, joined, joinedTop, joinedRows, K, eol, align, blackIs1);
        return Status::Ok();
    }

    Status AddBand(PageImage& out, const Page& p, const std::vector<unsigned char>& bytes,
                   std::uint32_t top, std::uint32_t rows, int K, bool eol, bool align,
                   bool blackIs1) {
        char params[200];
        std::snprintf(params, sizeof params, "Columns=%u Rows=%u K=%d%s%s%s", p.width, rows, K,
                      eol ? " EndOfLine=true" : "", align ? " EncodedByteAlign=true" : "",
                      blackIs1 ? " BlackIs1=true" : "");
        const std::size_t plen = std::strlen(params);
        // cairo owns both copies and reads the parameters as a C string.
        auto* pcopy = static_cast<unsigned char*>(std::malloc(plen + 1));
        auto* data = static_cast<unsigned char*>(std::malloc(bytes.size()));
        // A1 keeps the placeholder surface small; its pixels are never used.
        SurfacePtr surf(cairo_image_surface_create(CAIRO_FORMAT_A1, static_cast<int>(p.width),
                                                   static_cast<int>(rows)));
        if (!pcopy || !data || cairo_surface_status(surf.get()) != CAIRO_STATUS_SUCCESS) {
            std::free(data);
            std::free(pcopy);
            return Status::Error(Fail::Internal, "Out of memory for image: " + path_);
        }
        std::memcpy(pcopy, params, plen + 1);
        std::memcpy(data, bytes.data(), bytes.size());
        cairo_surface_set_mime_data(surf.get(), CAIRO_MIME_TYPE_CCITT_FAX, data, bytes.size(),
                                    std::free, data);
        cairo_surface_set_mime_data(surf.get(), CAIRO_MIME_TYPE_CCITT_FAX_PARAMS, pcopy, plen,
                                    std::free, pcopy);
        out.bands.push_back(
            PageImage::Band{std::move(surf), static_cast<int>(top), static_cast<int>(rows)});
        return Status::Ok();
    }

    Status Decoded(const Page& p, PageImage& out) {
        char emsg[1024] = "";
        if (!TIFFRGBAImageOK(tif_, emsg)) return Bad(emsg);
        auto surf = NewRgbSurface(path_, static_cast<int>(p.width), static_cast<int>(p.height));
        if (!surf) return surf.status();
        auto* px = reinterpret_cast<std::uint32_t*>(cairo_image_surface_get_data(surf->get()));
        if (!TIFFReadRGBAImageOriented(tif_, p.width, p.height, px, ORIENTATION_TOPLEFT, 0))
            return error_.empty() ? Truncated(path_) : Bad(error_);
        const std::size_t count = static_cast<std::size_t>(p.width) * p.height;
        for (std::size_t i = 0; i < count; ++i) {
            const std::uint32_t v = px[i];
            const std::uint32_t a = TIFFGetA(v);
            auto on_white = [a](std::uint32_t c) { return (c * a + 255 * (255 - a)) / 255; };
            px[i] = (on_white(TIFFGetR(v)) << 16) | (on_white(TIFFGetG(v)) << 8) |
                    on_white(TIFFGetB(v));
        }
        cairo_surface_mark_dirty(surf->get());
        out.bands.push_back(PageImage::Band{std::move(*surf), 0, static_cast<int>(p.height)});
        return Status::Ok();
    }

    std::string path_;
    std::string error_;
    std::uint64_t fileSize_ = 0;
    TIFF* tif_ = nullptr;
    std::vector<Page> pages_;
};

}  // namespace

Result<std::unique_ptr<ImageSource>> OpenTiff(const std::string& path) {
    auto src = std::make_unique<TiffSource>(path);
    Status s = src->Open();
    if (!s) return s;
    return std::unique_ptr<ImageSource>(std::move(src));
}

}  // namespace platform::imaging
