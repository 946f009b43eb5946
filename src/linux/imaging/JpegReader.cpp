// JPEG pages, decoded with TurboJPEG. Damaged data (which the decoder only
// warns about, filling in grey) makes the file unreadable: a fax page with a
// grey band is not what the sender sent.
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <turbojpeg.h>

#include <cerrno>
#include <cstddef>
#include <cstring>
#include <memory>
#include <vector>

#include "linux/imaging/ImageReaders.h"
#include "platform/Files.h"

namespace platform::imaging {

namespace {

// Stop at the first warning, and refuse the endless progressive scans that
// make a small hostile file take minutes.
constexpr int kDecodeFlags = TJFLAG_STOPONWARNING | TJFLAG_LIMITSCANS;

// The file mapped for reading: TurboJPEG decodes from memory, and a mapping
// keeps a large file out of the heap.
class MappedFile {
  public:
    MappedFile() = default;
    MappedFile(const MappedFile&) = delete;
    MappedFile& operator=(const MappedFile&) = delete;
    ~MappedFile() {
        if (data_) ::munmap(data_, size_);
    }

    Status Open(const std::string& path) {
        UniqueFd fd(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
        if (!fd) return Status::Error(Fail::NotFound, "File not found: " + path);
        struct stat st {};
        if (::fstat(fd.get(), &st) != 0 || st.st_size <= 0) return NotReadable(path, "empty file");
        void* p = ::mmap(nullptr, static_cast<std::size_t>(st.st_size), PROT_READ, MAP_PRIVATE,
                         fd.get(), 0);
        if (p == MAP_FAILED) return NotReadable(path, std::strerror(errno));
        data_ = p;
        size_ = static_cast<std::size_t>(st.st_size);
        return Status::Ok();
    }
    const unsigned char* data() const { return static_cast<const unsigned char*>(data_); }
    unsigned long size() const { return size_; }

  private:
    void* data_ = nullptr;
    std::size_t size_ = 0;
};

struct TjDeleter {
    void operator()(void* handle) const { tjDestroy(handle); }
};
using TjPtr = std::unique_ptr<void, TjDeleter>;

// What TurboJPEG does not tell: the resolution in a JFIF header (with the
// decoder's defaults when there is none) and whether an Adobe marker says
// that CMYK is stored inverted.
struct HeaderMarkers {
    int densityUnit = 0;
    unsigned xDensity = 1, yDensity = 1;
    bool adobe = false;
};

// Walks the marker segments from the start of image up to the first scan.
HeaderMarkers ReadMarkers(const unsigned char* p, std::size_t n) {
    HeaderMarkers m;
    std::size_t i = 2;  // behind the start-of-image marker
    while (i + 4 <= n && p[i] == 0xFF) {
        const unsigned char code = p[i + 1];
        if (code == 0xFF) {  // fill byte
            ++i;
            continue;
        }
        if (code == 0xDA || code == 0xD9) break;               // start of scan, end of image
        if (code == 0x01 || (code >= 0xD0 && code <= 0xD7)) {  // markers without a length
            i += 2;
            continue;
        }
        const std::size_t length = (std::size_t{p[i + 2]} << 8) | p[i + 3];
        if (length < 2 || length > n - i - 2) break;
        const unsigned char* data = p + i + 4;
        const std::size_t size = length - 2;
        if (code == 0xE0 && size >= 14 && std::memcmp(data, "JFIF", 5) == 0) {
            m.densityUnit = data[7];
            m.xDensity = (unsigned{data[8]} << 8) | data[9];
            m.yDensity = (unsigned{data[10]} << 8) | data[11];
        } else if (code == 0xEE && size >= 12 && std::memcmp(data, "Adobe", 5) == 0) {
            m.adobe = true;
        }
        i += 2 + length;
    }
    return m;
}

// CMYK pixels to cairo's BGRX in place. Adobe writes CMYK inverted; the
// product is the visible value.
void CmykToBgrx(unsigned char* pixels, int width, int height, int stride, bool inverted) {
    for (int y = 0; y < height; ++y) {
        unsigned char* px = pixels + static_cast<std::ptrdiff_t>(y) * stride;
        for (int x = 0; x < width; ++x, px += 4) {
            const unsigned c = px[0], m = px[1], yl = px[2];
            const unsigned k = inverted ? px[3] : 255u - px[3];
            auto ch = [&](unsigned v) { return (inverted ? v : 255u - v) * k / 255u; };
            px[0] = static_cast<unsigned char>(ch(yl));
            px[1] = static_cast<unsigned char>(ch(m));
            px[2] = static_cast<unsigned char>(ch(c));
            px[3] = 255;
        }
    }
}

class JpegSource final : public ImageSource {
  public:
    explicit JpegSource(std::string path) : path_(std::move(path)) {}

    ImageFormat format() const override { return ImageFormat::Jpeg; }
    int PageCount() const override { return 1; }

    // Decodes the whole image; with out == nullptr only checks it.
    Status Decode(PageImage* out) {
        MappedFile file;
        if (Status s = file.Open(path_); !s) return s;
        TjPtr tj(tjInitDecompress());
        if (!tj) return Status::Error(Fail::Internal, "Out of memory for image: " + path_);
        int width = 0, height = 0, subsampling = 0, colorspace = 0;
        if (tjDecompressHeader3(tj.get(), file.data(), file.size(), &width, &height, &subsampling,
                                &colorspace) != 0)
            return NotReadable(path_, tjGetErrorStr2(tj.get()));
        if (Status size = CheckSize(path_, width, height); !size) return size;
        const bool cmyk = colorspace == TJCS_CMYK || colorspace == TJCS_YCCK;
        const int pixelFormat = cmyk ? TJPF_CMYK : TJPF_BGRX;

        if (!out) {
            // Damage is in the coded data, which is read whole at any scale:
            // the smallest one checks it.
            const tjscalingfactor eighth{1, 8};
            const int w = TJSCALED(width, eighth), h = TJSCALED(height, eighth);
            std::vector<unsigned char> pixels(static_cast<std::size_t>(w) * h * 4);
            if (tjDecompress2(tj.get(), file.data(), file.size(), pixels.data(), w, 0, h,
                              pixelFormat, kDecodeFlags) != 0)
                return NotReadable(path_, tjGetErrorStr2(tj.get()));
            return Status::Ok();
        }

        SurfacePtr surface(cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height));
        if (cairo_surface_status(surface.get()) != CAIRO_STATUS_SUCCESS)
            return Status::Error(Fail::Internal, "Out of memory for image: " + path_);
        cairo_surface_flush(surface.get());
        unsigned char* pixels = cairo_image_surface_get_data(surface.get());
        const int stride = cairo_image_surface_get_stride(surface.get());
        if (tjDecompress2(tj.get(), file.data(), file.size(), pixels, width, stride, height,
                          pixelFormat, kDecodeFlags) != 0)
            return NotReadable(path_, tjGetErrorStr2(tj.get()));
        const HeaderMarkers markers = ReadMarkers(file.data(), file.size());
        if (cmyk) CmykToBgrx(pixels, width, height, stride, markers.adobe);
        cairo_surface_mark_dirty(surface.get());

        out->width = width;
        out->height = height;
        out->xdpi = out->ydpi = 72;
        if (markers.densityUnit == 1 || markers.densityUnit == 2) {
            const double k = markers.densityUnit == 2 ? 2.54 : 1.0;
            out->xdpi = SaneDpi(markers.xDensity * k, 72);
            out->ydpi = SaneDpi(markers.yDensity * k, out->xdpi);
        } else if (markers.densityUnit == 0 && markers.xDensity > 0 && markers.yDensity > 0) {
            out->ydpi = SaneDpi(72.0 * markers.yDensity / markers.xDensity, 72);
        }
        out->bands.push_back(PageImage::Band{std::move(surface), 0, height, nullptr});
        return Status::Ok();
    }

    Result<PageImage> LoadPage(int) override {
        PageImage page;
        Status s = Decode(&page);
        if (!s) return s;
        return page;
    }

  private:
    std::string path_;
};

}  // namespace

Result<std::unique_ptr<ImageSource>> OpenJpeg(const std::string& path) {
    auto src = std::make_unique<JpegSource>(path);
    // Damage in the body only shows when it is decoded; a check now keeps a
    // broken file from being taken for a printable one.
    Status s = src->Decode(nullptr);
    if (!s) return s;
    return std::unique_ptr<ImageSource>(std::move(src));
}

}  // namespace platform::imaging
