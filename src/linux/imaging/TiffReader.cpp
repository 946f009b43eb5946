// TIFF (and the TIFF-based XIF) pages. Fax-coded pages (modified Huffman,
// T.4, T.6) keep their compressed strips: PDF output embeds them unchanged.
// Every other TIFF goes through libtiff's RGBA decoder.
#include <sys/stat.h>
#include <tiffio.h>

#include <algorithm>
#include <array>
#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "linux/imaging/ImageReaders.h"

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

// A growing memory file for libtiff, to encode T.6 data without a disk file.
struct MemFile {
    std::vector<unsigned char> data;
    std::size_t pos = 0;
};
tmsize_t MemRead(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<MemFile*>(h);
    const std::size_t left = m->pos < m->data.size() ? m->data.size() - m->pos : 0;
    const std::size_t k = std::min(left, static_cast<std::size_t>(n));
    std::memcpy(buf, m->data.data() + m->pos, k);
    m->pos += k;
    return static_cast<tmsize_t>(k);
}
tmsize_t MemWrite(thandle_t h, void* buf, tmsize_t n) {
    auto* m = static_cast<MemFile*>(h);
    const std::size_t k = static_cast<std::size_t>(n);
    if (m->pos + k > m->data.size()) m->data.resize(m->pos + k);
    std::memcpy(m->data.data() + m->pos, buf, k);
    m->pos += k;
    return n;
}
toff_t MemSeek(thandle_t h, toff_t off, int whence) {
    auto* m = static_cast<MemFile*>(h);
    std::size_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? m->pos : m->data.size();
    m->pos = base + static_cast<std::size_t>(off);
    return m->pos;
}
int MemClose(thandle_t) {
    return 0;
}
toff_t MemSize(thandle_t h) {
    return static_cast<MemFile*>(h)->data.size();
}
int MemMap(thandle_t, void**, toff_t*) {
    return 0;
}
void MemUnmap(thandle_t, void*, toff_t) {}

struct Page {
    tdir_t dir = 0;
    std::uint32_t width = 0, height = 0;
    double xdpi = 72, ydpi = 72;
    bool passThrough = false;
    bool bilevel = false;  // one bit a pixel: a fax page, however it is coded
    std::uint16_t compression = 1;
    std::uint16_t photometric = 0;
    std::uint16_t fillOrder = FILLORDER_MSB2LSB;
    std::uint32_t group3 = 0;
    std::uint32_t rowsPerStrip = 0;
};

class TiffSource final : public ImageSource {
  public:
    TiffSource(std::string path, int maxPages) : path_(std::move(path)), maxPages_(maxPages) {}
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
        TIFFOpenOptionsSetMaxSingleMemAlloc(opts, kMaxTiffAlloc);
        // A small file is mapped: libtiff then reads its directories and
        // strips without a system call for each. A larger one is read with
        // read() ("m"), so that the memory of a run does not grow with the
        // size of a fax.
        tif_ = TIFFOpenExt(path_.c_str(), fileSize_ <= kMappedTiffBytes ? "r" : "rm", opts);
        TIFFOpenOptionsFree(opts);
        if (!tif_) {
            if (FirstDirectoryBeyondEnd()) return Truncated(path_);
            return Bad(error_.empty() ? "damaged TIFF header" : error_);
        }
        std::int64_t decoded = 0;
        do {
            if (pages_.size() >= static_cast<std::size_t>(maxPages_))
                return TooManyPages(path_, maxPages_);
            Page p;
            p.dir = TIFFCurrentDirectory(tif_);
            Status s = Examine(p);
            if (!s) return s;
            // Only pages of grey or colour count: a bilevel page costs little
            // to decode, one at a time, and its size is capped on its own.
            if (!p.passThrough && !p.bilevel)
                decoded += static_cast<std::int64_t>(p.width) * p.height;
            pages_.push_back(p);
        } while (TIFFReadDirectory(tif_));
        // A page chain that breaks off: printing the pages before the break
        // would silently lose the rest.
        if (!error_.empty()) return Truncated(path_);
        return CheckDocument(path_, static_cast<std::int64_t>(pages_.size()), maxPages_, decoded);
    }

    ImageFormat format() const override { return ImageFormat::Tiff; }
    bool AllPagesFax() const override {
        for (const auto& p : pages_)
            if (!p.passThrough) return false;
        return true;
    }
    // Decodes a fax page to pixels, for output that cannot take its data.
    Result<PageImage> LoadPixels(int index) override { return Load(index, false); }
    int PageCount() const override { return static_cast<int>(pages_.size()); }

    Result<PageImage> LoadPage(int index) override { return Load(index, true); }

  private:
    // One page: its fax data as it is when allowPassThrough and the page can
    // be passed through, else decoded pixels.
    Result<PageImage> Load(int index, bool allowPassThrough) {
        const Page& p = pages_.at(static_cast<std::size_t>(index));
        error_.clear();
        if (!TIFFSetDirectory(tif_, p.dir)) return Bad(error_.empty() ? "lost page" : error_);
        PageImage out;
        out.width = static_cast<int>(p.width);
        out.height = static_cast<int>(p.height);
        out.xdpi = p.xdpi;
        out.ydpi = p.ydpi;
        Status s = allowPassThrough && p.passThrough ? FaxBands(p, out) : Decoded(p, out);
        if (!s) return s;
        return out;
    }

    // libtiff's refusal to allocate past its cap is a size, not damage.
    Status Bad(const std::string& why) {
        if (why.find("beyond the") != std::string::npos && why.find("limit") != std::string::npos)
            return TooLarge(path_, why);
        return NotReadable(path_, why);
    }

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
        p.bilevel = bps == 1 && spp == 1;
        p.passThrough =
            fax && !tiled && bps == 1 && spp == 1 && orientation == ORIENTATION_TOPLEFT &&
            (p.photometric == PHOTOMETRIC_MINISWHITE || p.photometric == PHOTOMETRIC_MINISBLACK) &&
            (p.compression != COMPRESSION_CCITTFAX3 || (p.group3 & GROUP3OPT_UNCOMPRESSED) == 0) &&
            static_cast<std::uint64_t>(n) ==
                (static_cast<std::uint64_t>(h) + p.rowsPerStrip - 1) / p.rowsPerStrip;
        if (!p.passThrough) {
            char emsg[1024] = "";
            if (!TIFFRGBAImageOK(tif_, emsg)) return Bad(emsg);
            // libtiff reads a whole strip or tile at once: one beyond its
            // allocation cap would only fail when the page is printed.
            const std::uint64_t chunk = tiled ? TIFFTileSize64(tif_) : TIFFStripSize64(tif_);
            if (chunk > static_cast<std::uint64_t>(kMaxTiffAlloc))
                return TooLarge(path_, std::to_string(chunk / (1024 * 1024)) +
                                           " MB to decode at once, at most " +
                                           std::to_string(kMaxTiffAlloc / (1024 * 1024)));
        }
        return Status::Ok();
    }

    // The compressed data of the page's strips, handed to the PDF as it is.
    // Rows of modified Huffman and of T.4 data with EOL codes stand alone
    // (every strip starts afresh with a one-dimensional row), so their strips
    // join into one image. T.6 strips each refer to a white line above their
    // first row: a page of several is coded again instead (ToG4).
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
                join = p.compression == COMPRESSION_CCITTRLE || eol;
                if (!join && p.rowsPerStrip < p.height) return ToG4(p, out);
            }
            if (join) {
                joined.insert(joined.end(), data.begin(), data.end());
                joinedRows += rows;
            } else {
                std::vector<unsigned char> own(data);
                Status st = AddBand(out, p, own, top, rows, K, eol, align, blackIs1);
                if (!st) return st;
            }
            top += rows;
        }
        if (join) return AddBand(out, p, joined, joinedTop, joinedRows, K, eol, align, blackIs1);
        return Status::Ok();
    }

    // Fax data in strips that cannot be joined (T.6, or T.4 without EOL
    // codes) is decoded and coded again as one T.6 image: the same pixels,
    // compact, without seams between strips.
    Status ToG4(const Page& p, PageImage& out) {
        const std::size_t rowBytes = (static_cast<std::size_t>(p.width) + 7) / 8;
        std::vector<unsigned char> bits(rowBytes * p.height);
        const std::uint32_t strips = TIFFNumberOfStrips(tif_);
        std::size_t at = 0;
        for (std::uint32_t s = 0; s < strips && at < bits.size(); ++s) {
            tmsize_t got = TIFFReadEncodedStrip(tif_, s, bits.data() + at,
                                                static_cast<tmsize_t>(bits.size() - at));
            if (got < 0) return error_.empty() ? Truncated(path_) : Bad(error_);
            at += static_cast<std::size_t>(got);
        }
        if (at < bits.size() || !error_.empty())
            return error_.empty() ? Truncated(path_) : Bad(error_);
        // Coded with ones as black.
        if (p.photometric == PHOTOMETRIC_MINISBLACK)
            for (auto& b : bits) b = static_cast<unsigned char>(~b);

        MemFile mem;
        std::string err;
        TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
        TIFFOpenOptionsSetErrorHandlerExtR(opts, KeepFirstError, &err);
        TIFFOpenOptionsSetWarningHandlerExtR(opts, IgnoreWarning, nullptr);
        TIFF* t = TIFFClientOpenExt("fax", "w", &mem, MemRead, MemWrite, MemSeek, MemClose, MemSize,
                                    MemMap, MemUnmap, opts);
        TIFFOpenOptionsFree(opts);
        if (!t) return Bad("cannot code the page again: " + err);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, p.width);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, p.height);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, p.height);
        const bool wrote =
            TIFFWriteEncodedStrip(t, 0, bits.data(), static_cast<tmsize_t>(bits.size())) >= 0;
        const std::uint64_t off = TIFFGetStrileOffset(t, 0);
        const std::uint64_t len = TIFFGetStrileByteCount(t, 0);
        TIFFClose(t);
        if (!wrote || off + len > mem.data.size() || len == 0)
            return Bad("cannot code the page again: " + err);
        std::vector<unsigned char> g4(mem.data.begin() + static_cast<std::ptrdiff_t>(off),
                                      mem.data.begin() + static_cast<std::ptrdiff_t>(off + len));
        return AddBand(out, p, g4, 0, p.height, -1, false, false, false);
    }

    Status AddBand(PageImage& out, const Page& p, std::vector<unsigned char>& bytes,
                   std::uint32_t top, std::uint32_t rows, int K, bool eol, bool align,
                   bool blackIs1) {
        auto fax = std::make_shared<FaxData>();
        fax->bytes.swap(bytes);
        fax->columns = static_cast<int>(p.width);
        fax->rows = static_cast<int>(rows);
        fax->K = K;
        fax->endOfLine = eol;
        fax->encodedByteAlign = align;
        fax->blackIs1 = blackIs1;
        out.bands.push_back(PageImage::Band{nullptr, static_cast<int>(top), static_cast<int>(rows),
                                            std::move(fax)});
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
        out.bands.push_back(
            PageImage::Band{std::move(*surf), 0, static_cast<int>(p.height), nullptr});
        return Status::Ok();
    }

    std::string path_;
    int maxPages_;
    std::string error_;
    std::uint64_t fileSize_ = 0;
    TIFF* tif_ = nullptr;
    std::vector<Page> pages_;
};

}  // namespace

Result<std::unique_ptr<ImageSource>> OpenTiff(const std::string& path, int maxPages) {
    auto src = std::make_unique<TiffSource>(path, maxPages);
    Status s = src->Open();
    if (!s) return s;
    return std::unique_ptr<ImageSource>(std::move(src));
}

}  // namespace platform::imaging
