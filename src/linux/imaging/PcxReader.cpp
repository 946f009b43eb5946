// PCX pages (1-bit, 1-bit planar up to 4 planes, 8-bit with palette, 24-bit
// as three 8-bit planes) and DCX, a list of PCX pages in one file. Runs are
// decoded row by row from the file; nothing is trusted that the file does
// not hold.
#include <sys/stat.h>

#include <cstdio>
#include <cstring>
#include <vector>

#include "linux/imaging/ImageReaders.h"

namespace platform::imaging {

namespace {

constexpr std::uint32_t kDcxMagic = 0x3ade68b1;
constexpr int kDcxMaxPages = 1023;

// The EGA palette used when a 16-colour file leaves its own empty.
const unsigned char kEga[48] = {0,   0,  0,  0,   0,  170, 0,   170, 0,  0,   170, 170,
                                170, 0,  0,  170, 0,  170, 170, 85,  0,  170, 170, 170,
                                85,  85, 85, 85,  85, 255, 85,  255, 85, 85,  255, 255,
                                255, 85, 85, 255, 85, 255, 255, 255, 85, 255, 255, 255};

struct PcxPage {
    std::uint64_t start = 0, end = 0;  // the page's bytes in the file
    int width = 0, height = 0;
    int bpp = 0, planes = 0, bytesPerLine = 0;
    double xdpi = 72, ydpi = 72;
    std::uint32_t palette[256] = {};
};

class PcxSource final : public ImageSource {
  public:
    PcxSource(std::string path, bool dcx, int maxPages)
        : path_(std::move(path)), dcx_(dcx), maxPages_(maxPages) {}

    ImageFormat format() const override { return dcx_ ? ImageFormat::Dcx : ImageFormat::Pcx; }
    int PageCount() const override { return static_cast<int>(pages_.size()); }

    Status Open() {
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f) return Status::Error(Fail::NotFound, "File not found: " + path_);
        struct stat st {};
        if (::fstat(fileno(f.get()), &st) != 0) return Truncated(path_);
        const std::uint64_t size = static_cast<std::uint64_t>(st.st_size);
        std::vector<std::uint64_t> offsets;
        if (dcx_) {
            unsigned char head[4 + 4 * (kDcxMaxPages + 1)] = {};
            std::size_t got = std::fread(head, 1, sizeof head, f.get());
            if (got < 8 || Le32(head) != kDcxMagic) return NotReadable(path_, "damaged DCX header");
            for (std::size_t i = 4; i + 4 <= got; i += 4) {
                std::uint32_t off = Le32(head + i);
                if (off == 0) break;
                if (offsets.size() >= static_cast<std::size_t>(kDcxMaxPages))
                    return NotReadable(path_, "damaged DCX page list");
                if (off >= size) return Truncated(path_);
                offsets.push_back(off);
            }
            if (offsets.empty()) return NotReadable(path_, "DCX without pages");
        } else {
            offsets.push_back(0);
        }
        if (offsets.size() > static_cast<std::size_t>(maxPages_))
            return TooManyPages(path_, maxPages_);
        std::int64_t decoded = 0;
        for (std::size_t i = 0; i < offsets.size(); ++i) {
            PcxPage p;
            p.start = offsets[i];
            // A page ends where the next larger offset begins, else at the end.
            p.end = size;
            for (std::uint64_t o : offsets)
                if (o > p.start && o < p.end) p.end = o;
            Status s = ReadHeader(f.get(), p);
            if (!s) return s;
            // Bilevel pages do not count (see the TIFF reader).
            if (p.bpp * p.planes > 1) decoded += static_cast<std::int64_t>(p.width) * p.height;
            pages_.push_back(p);
        }
        return CheckDocument(path_, static_cast<std::int64_t>(pages_.size()), maxPages_, decoded);
    }

    Result<PageImage> LoadPage(int index) override {
        const PcxPage& p = pages_.at(static_cast<std::size_t>(index));
        auto surf = NewRgbSurface(path_, p.width, p.height);
        if (!surf) return surf.status();
        Status s = Decode(p, surf->get());
        if (!s) return s;
        PageImage page;
        page.width = p.width;
        page.height = p.height;
        page.xdpi = p.xdpi;
        page.ydpi = p.ydpi;
        page.bands.push_back(PageImage::Band{std::move(*surf), 0, p.height, nullptr});
        return page;
    }

    // Runs every page's decoder without keeping pixels: a file cut short is
    // found before anyone relies on it.
    Status CheckData() {
        for (const auto& p : pages_) {
            Status s = Decode(p, nullptr);
            if (!s) return s;
        }
        return Status::Ok();
    }

  private:
    // Decodes a page into the surface, or only checks it when there is none.
    Status Decode(const PcxPage& p, cairo_surface_t* surface) {
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f) return Status::Error(Fail::NotFound, "File not found: " + path_);
        if (std::fseek(f.get(), static_cast<long>(p.start + 128), SEEK_SET) != 0)
            return Truncated(path_);
        unsigned char* base = surface ? cairo_image_surface_get_data(surface) : nullptr;
        const int stride = surface ? cairo_image_surface_get_stride(surface) : 0;
        const std::size_t lineBytes = static_cast<std::size_t>(p.bytesPerLine) * p.planes;
        std::vector<unsigned char> line(lineBytes);
        std::uint64_t left = p.end - p.start - 128;
        int run = 0, runValue = 0;
        for (int y = 0; y < p.height; ++y) {
            // Runs may carry over from one row to the next.
            for (std::size_t i = 0; i < lineBytes;) {
                if (run > 0) {
                    line[i++] = static_cast<unsigned char>(runValue);
                    --run;
                    continue;
                }
                if (left == 0) return Truncated(path_);
                int c = std::fgetc(f.get());
                --left;
                if (c == EOF) return Truncated(path_);
                if ((c & 0xc0) == 0xc0) {
                    if (left == 0) return Truncated(path_);
                    int v = std::fgetc(f.get());
                    --left;
                    if (v == EOF) return Truncated(path_);
                    run = c & 0x3f;
                    runValue = v;
                } else {
                    line[i++] = static_cast<unsigned char>(c);
                }
            }
            if (!base) continue;
            auto* dst =
                reinterpret_cast<std::uint32_t*>(base + static_cast<std::ptrdiff_t>(y) * stride);
            for (int x = 0; x < p.width; ++x) dst[x] = Pixel(p, line.data(), x);
        }
        if (surface) cairo_surface_mark_dirty(surface);
        return Status::Ok();
    }

  private:
    Status ReadHeader(std::FILE* f, PcxPage& p) {
        unsigned char h[128];
        if (p.end - p.start < 128 || std::fseek(f, static_cast<long>(p.start), SEEK_SET) != 0 ||
            std::fread(h, 1, 128, f) != 128)
            return Truncated(path_);
        if (h[0] != 0x0a || h[2] != 1) return NotReadable(path_, "damaged PCX header");
        const int xmin = Le16(h + 4), ymin = Le16(h + 6), xmax = Le16(h + 8), ymax = Le16(h + 10);
        if (xmax < xmin || ymax < ymin) return NotReadable(path_, "damaged PCX header");
        p.width = xmax - xmin + 1;
        p.height = ymax - ymin + 1;
        Status s = CheckSize(path_, p.width, p.height);
        if (!s) return s;
        p.bpp = h[3];
        p.planes = h[65];
        p.bytesPerLine = Le16(h + 66);
        const bool known = (p.bpp == 1 && p.planes >= 1 && p.planes <= 4) ||
                           (p.bpp == 8 && (p.planes == 1 || p.planes == 3 || p.planes == 4));
        if (!known)
            return NotReadable(path_, "unsupported PCX (" + std::to_string(p.bpp) + " bits, " +
                                          std::to_string(p.planes) + " planes)");
        if (static_cast<std::int64_t>(p.bytesPerLine) * 8 <
            static_cast<std::int64_t>(p.width) * p.bpp)
            return NotReadable(path_, "damaged PCX header");
        const int hd = Le16(h + 12), vd = Le16(h + 14);
        p.xdpi = SaneDpi(hd, 72);
        p.ydpi = SaneDpi(vd, p.xdpi);
        if (p.bpp == 1 && p.planes == 1) {
            p.palette[0] = 0;
            p.palette[1] = 0xffffff;
        } else if (p.bpp == 1) {
            bool empty = true;
            for (int i = 16; i < 64; ++i) empty = empty && h[i] == 0;
            const unsigned char* pal = empty ? kEga : h + 16;
            for (int i = 0; i < 16; ++i)
                p.palette[i] = (static_cast<std::uint32_t>(pal[i * 3]) << 16) |
                               (pal[i * 3 + 1] << 8) | pal[i * 3 + 2];
        } else if (p.planes == 1) {
            // The 256-colour palette is the page's last 769 bytes.
            unsigned char pal[769];
            if (p.end - p.start < 128 + 769 ||
                std::fseek(f, static_cast<long>(p.end - 769), SEEK_SET) != 0 ||
                std::fread(pal, 1, 769, f) != 769 || pal[0] != 0x0c) {
                for (int i = 0; i < 256; ++i)
                    p.palette[i] = static_cast<std::uint32_t>(i) * 0x010101;
            } else {
                for (int i = 0; i < 256; ++i)
                    p.palette[i] = (static_cast<std::uint32_t>(pal[1 + i * 3]) << 16) |
                                   (pal[2 + i * 3] << 8) | pal[3 + i * 3];
                p.end -= 769;
            }
        }
        return Status::Ok();
    }

    static std::uint32_t Pixel(const PcxPage& p, const unsigned char* line, int x) {
        const int bpl = p.bytesPerLine;
        if (p.bpp == 1) {
            unsigned idx = 0;
            for (int pl = 0; pl < p.planes; ++pl)
                idx |= ((line[pl * bpl + (x >> 3)] >> (7 - (x & 7))) & 1u) << pl;
            return p.palette[idx];
        }
        if (p.planes == 1) return p.palette[line[x]];
        return (static_cast<std::uint32_t>(line[x]) << 16) | (line[bpl + x] << 8) |
               line[2 * bpl + x];
    }

    std::string path_;
    bool dcx_;
    int maxPages_;
    std::vector<PcxPage> pages_;
};

}  // namespace

Result<std::unique_ptr<ImageSource>> OpenPcx(const std::string& path, bool dcx, int maxPages) {
    auto src = std::make_unique<PcxSource>(path, dcx, maxPages);
    Status s = src->Open();
    if (s) s = src->CheckData();
    if (!s) return s;
    return std::unique_ptr<ImageSource>(std::move(src));
}

}  // namespace platform::imaging
