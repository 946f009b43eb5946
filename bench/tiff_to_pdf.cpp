// Converts fax TIFFs to PDF with the imaging component, one PDF per file, in
// one process (as a run prints them); prints pages and seconds.
//   tiff_to_pdf OUT_DIR FILE.tif...
#include <chrono>
#include <cstdio>
#include <string>

#include "platform/linux/imaging/ImageLibrary.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tiff_to_pdf OUT_DIR FILE.tif...\n");
        return 2;
    }
    const std::string out = argv[1];
    long pages = 0;
    auto start = std::chrono::steady_clock::now();
    for (int i = 2; i < argc; ++i) {
        std::string in = argv[i];
        std::string base = in.substr(in.find_last_of('/') + 1);
        int n = 0;
        platform::Status st = platform::RenderImagePdf(in, out + "/" + base + ".pdf", &n);
        if (!st) {
            std::fprintf(stderr, "tiff_to_pdf: %s\n", st.detail.c_str());
            return 1;
        }
        pages += n;
    }
    double secs = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    std::printf("%ld %.6f\n", pages, secs);
    return 0;
}
