// Bench driver: fax TIFFs to PDF with the program's imaging component, one
// PDF per file (OUT_DIR/<name>.pdf), as a run prints them. Timed from outside
// as a whole process, like the tool it is compared with.
//   tiff_to_pdf OUT_DIR FILE.tif...
#include <cstdio>
#include <string>

#include "linux/imaging/ImageLibrary.h"

int main(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: tiff_to_pdf OUT_DIR FILE.tif...\n");
        return 2;
    }
    const std::string out = argv[1];
    for (int i = 2; i < argc; ++i) {
        const std::string in = argv[i];
        const std::string name = in.substr(in.find_last_of('/') + 1);
        int pages = 0;
        const platform::Status st = platform::RenderImagePdf(in, out + "/" + name + ".pdf", &pages);
        if (!st) {
            std::fprintf(stderr, "tiff_to_pdf: %s: %s\n", in.c_str(), st.detail.c_str());
            return 1;
        }
    }
    return 0;
}
