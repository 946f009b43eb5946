#include "linux/imaging/PagePng.h"

#include <algorithm>
#include <cmath>

#include "linux/imaging/ImageReaders.h"

namespace platform {
namespace {

cairo_status_t AppendPng(void* closure, const unsigned char* data, unsigned int length) {
    static_cast<std::string*>(closure)->append(reinterpret_cast<const char*>(data), length);
    return CAIRO_STATUS_SUCCESS;
}

}  // namespace

Result<std::string> RenderPagePng(const std::string& path, int index, int maxWidth, int maxHeight,
                                  int maxPages) {
    auto src = imaging::OpenImage(path, maxPages);
    if (!src) return src.status();
    if (index < 0 || index >= (*src)->PageCount())
        return Status::Error(Fail::NotFound,
                             "No page " + std::to_string(index + 1) + " in " + path);
    // Pixels even for fax data: a picture on a screen is drawn, not embedded.
    auto page = (*src)->LoadPixels(index);
    if (!page) return page.status();
    // The page's size in points, so that 204 x 98 dpi fax rows keep their shape.
    const double wPt = page->width * 72.0 / page->xdpi;
    const double hPt = page->height * 72.0 / page->ydpi;
    const double fit = std::min({maxWidth / wPt, maxHeight / hPt, page->xdpi / 72.0});
    const int w = std::max(1, static_cast<int>(std::lround(wPt * fit)));
    const int h = std::max(1, static_cast<int>(std::lround(hPt * fit)));
    cairo_surface_t* out = cairo_image_surface_create(CAIRO_FORMAT_RGB24, w, h);
    cairo_t* cr = cairo_create(out);
    cairo_set_source_rgb(cr, 1, 1, 1);
    cairo_paint(cr);
    cairo_scale(cr, static_cast<double>(w) / page->width, static_cast<double>(h) / page->height);
    for (const auto& band : page->bands) {
        if (!band.surface) continue;
        cairo_set_source_surface(cr, band.surface.get(), 0, band.top);
        cairo_pattern_set_filter(cairo_get_source(cr), CAIRO_FILTER_GOOD);
        cairo_paint(cr);
    }
    cairo_destroy(cr);
    std::string png;
    const cairo_status_t st = cairo_surface_write_to_png_stream(out, AppendPng, &png);
    const cairo_status_t drawn = cairo_surface_status(out);
    cairo_surface_destroy(out);
    if (st != CAIRO_STATUS_SUCCESS || drawn != CAIRO_STATUS_SUCCESS)
        return Status::Error(Fail::Internal, std::string("Cannot draw a picture of ") + path +
                                                 ": " + cairo_status_to_string(st ? st : drawn));
    return png;
}

}  // namespace platform
