// Image files of every kind the imaging component reads: opened, and every
// page rendered into a PDF file as printing would, without a printer.
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <string>

#include "linux/imaging/ImageLibrary.h"

namespace {

std::string TempFile(const char* tmpl) {
    std::string name = tmpl;
    int fd = ::mkstemp(name.data());
    if (fd >= 0) ::close(fd);
    return name;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static const std::string input = TempFile("/tmp/fuzz-image-XXXXXX");
    static const std::string output = TempFile("/tmp/fuzz-image-pdf-XXXXXX");
    if (std::FILE* f = std::fopen(input.c_str(), "wb")) {
        std::fwrite(data, 1, size, f);
        std::fclose(f);
    }
    auto info = platform::ProbeImage(input);
    if (!info) return 0;
    int pages = 0;
    platform::Status st = platform::RenderImagePdf(input, output, &pages);
    if (st && pages != info->pages) __builtin_trap();
    return 0;
}
