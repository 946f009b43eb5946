#include "tests/support/FaxTiff.h"

#include <cairo.h>
#include <tiffio.h>

#include <cstdarg>
#include <cstdio>
#include <memory>
#include <vector>

namespace testsupport {

namespace {

int CollectError(TIFF*, void* user, const char* module, const char* fmt, va_list ap) {
    auto* out = static_cast<std::string*>(user);
    char buf[512];
    std::vsnprintf(buf, sizeof buf, fmt, ap);
    if (out && out->empty()) *out = std::string(module ? module : "libtiff") + ": " + buf;
    return 1;
}

int IgnoreWarning(TIFF*, void*, const char*, const char*, va_list) {
    return 1;
}

// Draws one page into an 8-bit alpha surface; ink is alpha above one half.
void DrawPage(cairo_t* cr, int width, int rows, bool fine, int page, int pages,
              const std::string& title) {
    // Work in units of the horizontal resolution so that a coarse page keeps
    // the drawing's proportions.
    cairo_scale(cr, 1.0, fine ? 196.0 / 204.0 : 98.0 / 204.0);
    const double h = rows / (fine ? 196.0 / 204.0 : 98.0 / 204.0);
    cairo_set_source_rgba(cr, 0, 0, 0, 1);
    cairo_set_line_width(cr, 6);
    cairo_rectangle(cr, 40, 40, width - 80, h - 80);
    cairo_stroke(cr);
    // An arrow pointing to the top edge.
    cairo_move_to(cr, 140, 420);
    cairo_line_to(cr, 140, 140);
    cairo_stroke(cr);
    cairo_move_to(cr, 90, 210);
    cairo_line_to(cr, 140, 110);
    cairo_line_to(cr, 190, 210);
    cairo_close_path(cr);
    cairo_fill(cr);

    cairo_select_font_face(cr, "DejaVu Sans", CAIRO_FONT_SLANT_NORMAL, CAIRO_FONT_WEIGHT_BOLD);
    cairo_set_font_size(cr, 110);
    char head[64];
    std::snprintf(head, sizeof head, "PAGE %d OF %d", page, pages);
    cairo_move_to(cr, 260, 300);
    cairo_show_text(cr, head);
    cairo_set_font_size(cr, 60);
    cairo_move_to(cr, 260, 420);
    cairo_show_text(cr, title.c_str());

    cairo_select_font_face(cr, "DejaVu Sans Mono", CAIRO_FONT_SLANT_NORMAL,
                           CAIRO_FONT_WEIGHT_NORMAL);
    cairo_set_font_size(cr, 34);
    for (int i = 0; i < 40; ++i) {
        char line[128];
        std::snprintf(line, sizeof line, "%02d-%02d The quick brown fox jumps over the lazy dog.",
                      page, i + 1);
        double y = 560 + i * 46.0;
        if (y > h - 100) break;
        cairo_move_to(cr, 120, y);
        cairo_show_text(cr, line);
    }
}

}  // namespace

bool WriteFaxTiff(const std::string& path, const FaxTiffOptions& o, std::string* error) {
    std::string err;
    auto fail = [&](const std::string& why) {
        if (error) *error = err.empty() ? why : why + " (" + err + ")";
        return false;
    };
    TIFFOpenOptions* opts = TIFFOpenOptionsAlloc();
    TIFFOpenOptionsSetErrorHandlerExtR(opts, CollectError, &err);
    TIFFOpenOptionsSetWarningHandlerExtR(opts, IgnoreWarning, nullptr);
    TIFF* tif = TIFFOpenExt(path.c_str(), "w", opts);
    TIFFOpenOptionsFree(opts);
    if (!tif) return fail("cannot create " + path);

    const int width = kFaxWidth;
    const int rows = FaxRows(o.fine);
    const int stripRows = o.rowsPerStrip > 0 ? o.rowsPerStrip : rows;
    std::vector<unsigned char> row(static_cast<std::size_t>(width + 7) / 8);
    bool ok = true;
    for (int p = 1; p <= o.pages && ok; ++p) {
        cairo_surface_t* s = cairo_image_surface_create(CAIRO_FORMAT_A8, width, rows);
        cairo_t* cr = cairo_create(s);
        DrawPage(cr, width, rows, o.fine, p, o.pages, o.title);
        cairo_destroy(cr);
        cairo_surface_flush(s);
        const unsigned char* data = cairo_image_surface_get_data(s);
        const int stride = cairo_image_surface_get_stride(s);

        TIFFSetField(tif, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(tif, TIFFTAG_IMAGEWIDTH, width);
        TIFFSetField(tif, TIFFTAG_IMAGELENGTH, rows);
        TIFFSetField(tif, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(tif, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(tif, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(tif, TIFFTAG_FILLORDER, o.fillOrder2 ? FILLORDER_LSB2MSB : FILLORDER_MSB2LSB);
        TIFFSetField(tif, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
        TIFFSetField(tif, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(tif, TIFFTAG_YRESOLUTION, o.fine ? 196.0 : 98.0);
        TIFFSetField(tif, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        TIFFSetField(tif, TIFFTAG_ORIENTATION, ORIENTATION_TOPLEFT);
        TIFFSetField(tif, TIFFTAG_PAGENUMBER, p - 1, o.pages);
        switch (o.coding) {
            case FaxCoding::G4:
                TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
                break;
            case FaxCoding::G3_2D:
                TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
                TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, GROUP3OPT_2DENCODING | GROUP3OPT_FILLBITS);
                break;
            case FaxCoding::G3_1D:
                TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX3);
                TIFFSetField(tif, TIFFTAG_GROUP3OPTIONS, 0);
                break;
            case FaxCoding::MH:
                TIFFSetField(tif, TIFFTAG_COMPRESSION, COMPRESSION_CCITTRLE);
                break;
        }
        TIFFSetField(tif, TIFFTAG_ROWSPERSTRIP, stripRows);
        for (int y = 0; y < rows && ok; ++y) {
            std::fill(row.begin(), row.end(), 0);
            const unsigned char* src = data + static_cast<std::ptrdiff_t>(y) * stride;
            for (int x = 0; x < width; ++x)
                if (src[x] > 127) row[x >> 3] |= static_cast<unsigned char>(0x80 >> (x & 7));
            ok = TIFFWriteScanline(tif, row.data(), static_cast<uint32_t>(y), 0) == 1;
        }
        cairo_surface_destroy(s);
        ok = ok && TIFFWriteDirectory(tif) == 1;
    }
    TIFFClose(tif);
    if (!ok) return fail("cannot write " + path);
    return true;
}

}  // namespace testsupport
