// JPEG pages, decoded with libjpeg-turbo. Damaged data (which libjpeg only
// warns about, filling in grey) makes the file unreadable: a fax page with a
// grey band is not what the sender sent.
#include <csetjmp>
#include <cstddef>
#include <cstdio>
#include <cstdlib>
#include <cstring>

// jpeglib.h needs size_t and FILE declared before it.
#include <jpeglib.h>

#include "platform/linux/imaging/ImageReaders.h"

namespace platform::imaging {

namespace {

struct ErrorMgr {
    jpeg_error_mgr pub;
    std::jmp_buf jump;
    char message[JMSG_LENGTH_MAX];
};

void OnError(j_common_ptr cinfo) {
    auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
    (*cinfo->err->format_message)(cinfo, err->message);
    std::longjmp(err->jump, 1);
}

void OnMessage(j_common_ptr cinfo, int level) {
    auto* err = reinterpret_cast<ErrorMgr*>(cinfo->err);
    if (level < 0) {
        // A warning means corrupt data; keep the first one as the reason.
        if (cinfo->err->num_warnings++ == 0) (*cinfo->err->format_message)(cinfo, err->message);
    }
}

class JpegSource final : public ImageSource {
  public:
    explicit JpegSource(std::string path) : path_(std::move(path)) {}

    ImageFormat format() const override { return ImageFormat::Jpeg; }
    int PageCount() const override { return 1; }

    // Decodes the whole image; with out == nullptr only checks it.
    Status Decode(PageImage* out) {
        FilePtr f(std::fopen(path_.c_str(), "rb"));
        if (!f) return Status::Error(Fail::NotFound, "File not found: " + path_);
        jpeg_decompress_struct cinfo;
        ErrorMgr err;
        std::memset(&err, 0, sizeof err);
        cinfo.err = jpeg_std_error(&err.pub);
        err.pub.error_exit = OnError;
        err.pub.emit_message = OnMessage;
        // Locals changed after setjmp must not live in registers.
        cairo_surface_t* volatile surface = nullptr;
        unsigned char* volatile rowBuf = nullptr;
        if (setjmp(err.jump)) {
            jpeg_destroy_decompress(&cinfo);
            if (surface) cairo_surface_destroy(surface);
            std::free(rowBuf);
            return NotReadable(path_, err.message);
        }
        jpeg_create_decompress(&cinfo);
        jpeg_stdio_src(&cinfo, f.get());
        jpeg_read_header(&cinfo, TRUE);
        Status size = CheckSize(path_, cinfo.image_width, cinfo.image_height);
        if (!size) {
            jpeg_destroy_decompress(&cinfo);
            return size;
        }
        const bool cmyk = cinfo.jpeg_color_space == JCS_CMYK || cinfo.jpeg_color_space == JCS_YCCK;
        cinfo.out_color_space = cmyk ? JCS_CMYK : JCS_EXT_BGRX;
        jpeg_start_decompress(&cinfo);
        const int width = static_cast<int>(cinfo.output_width);
        const int height = static_cast<int>(cinfo.output_height);
        // No C++ objects with destructors from here on: a longjmp skips them.
        rowBuf = static_cast<unsigned char*>(std::malloc(static_cast<std::size_t>(width) * 4));
        if (!rowBuf) {
            jpeg_destroy_decompress(&cinfo);
            return Status::Error(Fail::Internal, "Out of memory for image: " + path_);
        }
        unsigned char* const row = rowBuf;
        int stride = 0;
        unsigned char* pixels = nullptr;
        if (out) {
            Status room = CheckSize(path_, width, height);
            if (room) surface = cairo_image_surface_create(CAIRO_FORMAT_RGB24, width, height);
            if (!room || cairo_surface_status(surface) != CAIRO_STATUS_SUCCESS) {
                jpeg_destroy_decompress(&cinfo);
                std::free(rowBuf);
                if (surface) cairo_surface_destroy(surface);
                return room ? Status::Error(Fail::Internal, "Out of memory for image: " + path_)
                            : room;
            }
            pixels = cairo_image_surface_get_data(surface);
            stride = cairo_image_surface_get_stride(surface);
        }
        while (cinfo.output_scanline < cinfo.output_height) {
            const int y = static_cast<int>(cinfo.output_scanline);
            unsigned char* dst = pixels ? pixels + static_cast<std::ptrdiff_t>(y) * stride : row;
            JSAMPROW rows[1] = {cmyk ? row : dst};
            if (jpeg_read_scanlines(&cinfo, rows, 1) != 1) break;
            if (cmyk && pixels) {
                // Adobe writes CMYK inverted; the product is the visible value.
                for (int x = 0; x < width; ++x) {
                    const unsigned char* c = row + static_cast<std::size_t>(x) * 4;
                    const bool inv = cinfo.saw_Adobe_marker;
                    unsigned k = inv ? c[3] : 255u - c[3];
                    auto ch = [&](unsigned v) { return (inv ? v : 255u - v) * k / 255u; };
                    unsigned char* d = dst + x * 4;
                    d[0] = static_cast<unsigned char>(ch(c[2]));
                    d[1] = static_cast<unsigned char>(ch(c[1]));
                    d[2] = static_cast<unsigned char>(ch(c[0]));
                    d[3] = 255;
                }
            }
        }
        const bool complete = cinfo.output_scanline == cinfo.output_height;
        jpeg_finish_decompress(&cinfo);
        const bool damaged = err.pub.num_warnings > 0 || !complete;
        jpeg_destroy_decompress(&cinfo);
        std::free(rowBuf);
        SurfacePtr owned(surface);
        if (damaged) return NotReadable(path_, err.message[0] ? err.message : "damaged JPEG data");
        if (out) {
            cairo_surface_mark_dirty(owned.get());
            out->width = width;
            out->height = height;
            out->xdpi = out->ydpi = 72;
            if (cinfo.density_unit == 1 || cinfo.density_unit == 2) {
                const double k = cinfo.density_unit == 2 ? 2.54 : 1.0;
                out->xdpi = SaneDpi(cinfo.X_density * k, 72);
                out->ydpi = SaneDpi(cinfo.Y_density * k, out->xdpi);
            } else if (cinfo.density_unit == 0 && cinfo.X_density > 0 && cinfo.Y_density > 0) {
                out->ydpi = SaneDpi(72.0 * cinfo.Y_density / cinfo.X_density, 72);
            }
            out->bands.push_back(PageImage::Band{std::move(owned), 0, height, nullptr});
        }
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
