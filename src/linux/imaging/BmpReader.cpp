// Windows bitmaps: 1, 4, 8, 16, 24 and 32 bits per pixel, uncompressed, with
// bit fields, or run-length coded (RLE8, RLE4). Every size in the header is
// checked against the file before it is trusted.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "linux/imaging/ImageReaders.h"

namespace platform::imaging {

namespace {

// Extracts a channel from a masked pixel value, scaled to 0..255.
struct Channel {
    std::uint32_t mask = 0;
    int shift = 0;
    int bits = 0;
    explicit Channel(std::uint32_t m = 0) : mask(m) {
        if (!m) return;
        while (!((m >> shift) & 1)) ++shift;
        while (shift + bits < 32 && ((m >> (shift + bits)) & 1)) ++bits;
    }
    unsigned Get(std::uint32_t v) const {
        if (!bits) return 0;
        std::uint32_t c = (v & mask) >> shift;
        std::uint32_t max = bits >= 32 ? 0xffffffffu : ((1u << bits) - 1);
        return static_cast<unsigned>(static_cast<std::uint64_t>(c) * 255 / max);
    }
};

class BmpSource final : public ImageSource {
  public:
    explicit BmpSource(std::string path) : path_(std::move(path)) {}

    ImageFormat format() const override { return ImageFormat::Bmp; }
    int PageCount() const override { return 1; }

    Status Open() {
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f) return Status::Error(Fail::NotFound, "File not found: " + path_);
        struct stat st {};
        if (::fstat(fileno(f.get()), &st) != 0) return Truncated(path_);
        fileSize_ = static_cast<std::uint64_t>(st.st_size);
        unsigned char h[14 + 124] = {};
        std::size_t got = std::fread(h, 1, sizeof h, f.get());
        if (got < 14 + 12) return Truncated(path_);
        dataOffset_ = Le32(h + 10);
        const std::uint32_t hsize = Le32(h + 14);
        if (hsize < 12 || 14 + static_cast<std::size_t>(std::min<std::uint32_t>(hsize, 124)) > got)
            return hsize < 12 ? NotReadable(path_, "unknown bitmap header") : Truncated(path_);
        std::int64_t w = 0, hgt = 0;
        std::uint32_t clrUsed = 0;
        if (hsize == 12) {
            w = Le16(h + 18);
            hgt = static_cast<std::int16_t>(Le16(h + 20));
            bpp_ = Le16(h + 24);
            paletteEntry_ = 3;
        } else {
            if (hsize < 40) return NotReadable(path_, "unknown bitmap header");
            w = static_cast<std::int32_t>(Le32(h + 18));
            hgt = static_cast<std::int32_t>(Le32(h + 22));
            bpp_ = Le16(h + 28);
            compression_ = Le32(h + 30);
            const std::uint32_t xppm = Le32(h + 38), yppm = Le32(h + 42);
            if (xppm) xdpi_ = SaneDpi(xppm * 0.0254, 72);
            if (yppm) ydpi_ = SaneDpi(yppm * 0.0254, xdpi_);
            clrUsed = Le32(h + 46);
            paletteEntry_ = 4;
            if (Status m = ReadMasks(f.get(), h, hsize); !m) return m;
        }
        topDown_ = hgt < 0;
        if (hgt < 0) hgt = -hgt;
        Status s = CheckSize(path_, w, hgt);
        if (!s) return s;
        width_ = static_cast<int>(w);
        height_ = static_cast<int>(hgt);

        const bool rle = compression_ == 1 || compression_ == 2;
        const bool known = (compression_ == 0 && (bpp_ == 1 || bpp_ == 4 || bpp_ == 8 ||
                                                  bpp_ == 16 || bpp_ == 24 || bpp_ == 32)) ||
                           (compression_ == 1 && bpp_ == 8) || (compression_ == 2 && bpp_ == 4) ||
                           ((compression_ == 3 || compression_ == 6) && (bpp_ == 16 || bpp_ == 32));
        if (!known)
            return NotReadable(path_, "unsupported bitmap (" + std::to_string(bpp_) +
                                          " bits, compression " + std::to_string(compression_) +
                                          ")");
        if (rle && topDown_) return NotReadable(path_, "top-down run-length bitmap");

        if (bpp_ <= 8) {
            if (Status p = ReadPalette(f.get(), hsize, clrUsed); !p) return p;
        }
        rowBytes_ = ((static_cast<std::uint64_t>(width_) * bpp_ + 31) / 32) * 4;
        if (dataOffset_ > fileSize_) return Truncated(path_);
        if (!rle && rowBytes_ * static_cast<std::uint64_t>(height_) > fileSize_ - dataOffset_)
            return Truncated(path_);
        return Status::Ok();
    }

    // The colour masks of bit-field bitmaps follow a 40-byte header or sit
    // inside a larger one; 16- and 32-bit bitmaps without them have fixed ones.
    Status ReadMasks(std::FILE* f, const unsigned char* h, std::uint32_t hsize) {
        if (compression_ == 3 || compression_ == 6) {
            unsigned char m[12];
            if (hsize >= 52) {
                std::memcpy(m, h + 14 + 40, 12);
            } else if (std::fseek(f, 14 + 40, SEEK_SET) != 0 || std::fread(m, 1, 12, f) != 12) {
                return Truncated(path_);
            }
            red_ = Channel(Le32(m));
            green_ = Channel(Le32(m + 4));
            blue_ = Channel(Le32(m + 8));
        } else if (bpp_ == 16) {
            red_ = Channel(0x7c00);
            green_ = Channel(0x03e0);
            blue_ = Channel(0x001f);
        } else if (bpp_ == 32) {
            red_ = Channel(0xff0000);
            green_ = Channel(0xff00);
            blue_ = Channel(0xff);
        }
        return Status::Ok();
    }

    // The palette of a bitmap of 8 bits or fewer, after the header (and the
    // masks a 40-byte header leaves outside it).
    Status ReadPalette(std::FILE* f, std::uint32_t hsize, std::uint32_t clrUsed) {
        const std::uint32_t n = clrUsed ? clrUsed : (1u << bpp_);
        if (n > 256) return NotReadable(path_, "palette too large");
        const long palOff = 14 + static_cast<long>(hsize) +
                            ((compression_ == 3 || compression_ == 6) && hsize == 40 ? 12 : 0);
        std::vector<unsigned char> pal(static_cast<std::size_t>(n) * paletteEntry_);
        if (std::fseek(f, palOff, SEEK_SET) != 0 ||
            std::fread(pal.data(), 1, pal.size(), f) != pal.size())
            return Truncated(path_);
        palette_.assign(256, 0);
        for (std::uint32_t i = 0; i < n; ++i) {
            const unsigned char* e = &pal[static_cast<std::size_t>(i) * paletteEntry_];
            palette_[i] = (static_cast<std::uint32_t>(e[2]) << 16) | (e[1] << 8) | e[0];
        }
        return Status::Ok();
    }

    // Run-length data can only be checked by decoding it; nothing is kept.
    Status CheckData() {
        if (compression_ != 1 && compression_ != 2) return Status::Ok();
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f || std::fseek(f.get(), static_cast<long>(dataOffset_), SEEK_SET) != 0)
            return Truncated(path_);
        return ReadRle(f.get(), [](int) -> std::uint32_t* { return nullptr; });
    }

    Result<PageImage> LoadPage(int) override {
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f) return Status::Error(Fail::NotFound, "File not found: " + path_);
        auto surf = NewRgbSurface(path_, width_, height_);
        if (!surf) return surf.status();
        if (std::fseek(f.get(), static_cast<long>(dataOffset_), SEEK_SET) != 0)
            return Truncated(path_);
        unsigned char* base = cairo_image_surface_get_data(surf->get());
        const int stride = cairo_image_surface_get_stride(surf->get());
        auto rowPtr = [&](int y) {
            const int r = topDown_ ? y : height_ - 1 - y;
            return reinterpret_cast<std::uint32_t*>(base + static_cast<std::ptrdiff_t>(r) * stride);
        };
        Status s = (compression_ == 1 || compression_ == 2) ? ReadRle(f.get(), rowPtr)
                                                            : ReadRows(f.get(), rowPtr);
        if (!s) return s;
        cairo_surface_mark_dirty(surf->get());
        PageImage page;
        page.width = width_;
        page.height = height_;
        page.xdpi = xdpi_;
        page.ydpi = ydpi_;
        page.bands.push_back(PageImage::Band{std::move(*surf), 0, height_, nullptr});
        return page;
    }

  private:
    template <class RowPtr>
    Status ReadRows(std::FILE* f, RowPtr rowPtr) {
        std::vector<unsigned char> row(rowBytes_);
        for (int y = 0; y < height_; ++y) {
            if (std::fread(row.data(), 1, row.size(), f) != row.size()) return Truncated(path_);
            std::uint32_t* dst = rowPtr(y);
            for (int x = 0; x < width_; ++x) {
                std::uint32_t v = 0;
                switch (bpp_) {
                    case 1:
                        v = palette_[(row[x >> 3] >> (7 - (x & 7))) & 1];
                        break;
                    case 4:
                        v = palette_[(row[x >> 1] >> ((x & 1) ? 0 : 4)) & 15];
                        break;
                    case 8:
                        v = palette_[row[x]];
                        break;
                    case 24: {
                        const unsigned char* p = &row[static_cast<std::size_t>(x) * 3];
                        v = (static_cast<std::uint32_t>(p[2]) << 16) | (p[1] << 8) | p[0];
                        break;
                    }
                    default: {
                        const std::uint32_t raw = bpp_ == 16
                                                      ? Le16(&row[static_cast<std::size_t>(x) * 2])
                                                      : Le32(&row[static_cast<std::size_t>(x) * 4]);
                        v = (red_.Get(raw) << 16) | (green_.Get(raw) << 8) | blue_.Get(raw);
                        break;
                    }
                }
                dst[x] = v;
            }
        }
        return Status::Ok();
    }

    // RLE8 / RLE4: pairs of (count, value) or escapes; pixels not written
    // keep the background.
    template <class RowPtr>
    Status ReadRle(std::FILE* f, RowPtr rowPtr) {
        int x = 0, y = 0;
        auto put = [&](unsigned idx) {
            if (x < width_ && y < height_) {
                if (std::uint32_t* row = rowPtr(y)) row[x] = palette_[idx & 255];
            }
            ++x;
        };
        for (;;) {
            int a = std::fgetc(f), b = std::fgetc(f);
            if (a == EOF || b == EOF) return Truncated(path_);
            if (a > 0) {
                for (int i = 0; i < a; ++i)
                    put(compression_ == 1 ? static_cast<unsigned>(b)
                                          : static_cast<unsigned>((i & 1) ? (b & 15) : (b >> 4)));
                continue;
            }
            if (b == 0) {  // end of line
                x = 0;
                if (++y >= height_) return Status::Ok();
            } else if (b == 1) {  // end of bitmap
                return Status::Ok();
            } else if (b == 2) {  // delta
                int dx = std::fgetc(f), dy = std::fgetc(f);
                if (dx == EOF || dy == EOF) return Truncated(path_);
                x += dx;
                y += dy;
                if (y >= height_) return Status::Ok();
            } else {  // b literal pixels, padded to a 16-bit boundary
                const int bytes = compression_ == 1 ? b : (b + 1) / 2;
                unsigned char lit[256];
                const int padded = bytes + (bytes & 1);
                if (std::fread(lit, 1, static_cast<std::size_t>(padded), f) !=
                    static_cast<std::size_t>(padded))
                    return Truncated(path_);
                for (int i = 0; i < b; ++i)
                    put(compression_ == 1 ? lit[i]
                                          : static_cast<unsigned>((i & 1) ? (lit[i / 2] & 15)
                                                                          : (lit[i / 2] >> 4)));
            }
        }
    }

    std::string path_;
    std::uint64_t fileSize_ = 0;
    std::uint32_t dataOffset_ = 0;
    std::uint32_t compression_ = 0;
    int bpp_ = 0;
    int paletteEntry_ = 4;
    int width_ = 0, height_ = 0;
    bool topDown_ = false;
    double xdpi_ = 72, ydpi_ = 72;
    std::uint64_t rowBytes_ = 0;
    std::vector<std::uint32_t> palette_;
    Channel red_, green_, blue_;
};

}  // namespace

Result<std::unique_ptr<ImageSource>> OpenBmp(const std::string& path) {
    auto src = std::make_unique<BmpSource>(path);
    Status s = src->Open();
    if (s) s = src->CheckData();
    if (!s) return s;
    return std::unique_ptr<ImageSource>(std::move(src));
}

}  // namespace platform::imaging
