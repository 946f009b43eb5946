// Image files of every kind the imaging component reads: opened, each page
// loaded and placed into a PDF made in memory, nothing printed.
#include <cairo-pdf.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "platform/linux/ImageReaders.h"

namespace {

cairo_status_t Discard(void*, const unsigned char*, unsigned int) {
    return CAIRO_STATUS_SUCCESS;
}

std::string TempFile() {
    char name[] = "/tmp/fuzz-image-XXXXXX";
    int fd = ::mkstemp(name);
    if (fd >= 0) ::close(fd);
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string path = TempFile();
    if (std::FILE* f = std::fopen(path.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    auto src = platform::imaging::OpenImage(path);
    if (!src) return 0;
    cairo_surface_t* pdf = cairo_pdf_surface_create_for_stream(Discard, nullptr, 595, 842);
    cairo_t* cr = cairo_create(pdf);
    const int pages = (*src)->PageCount();
    for (int i = 0; i < pages && i < 4; ++i) {
        auto page = (*src)->LoadPage(i);
        if (!page) break;
        cairo_save(cr);
        cairo_scale(cr, 595.0 / page->width, 842.0 / page->height);
        for (const auto& band : page->bands) {
            cairo_set_source_surface(cr, band.surface.get(), 0, band.top);
            cairo_paint(cr);
        }
        cairo_restore(cr);
        cairo_show_page(cr);
    }
    cairo_destroy(cr);
    cairo_surface_finish(pdf);
    cairo_surface_destroy(pdf);
    return 0;
}
