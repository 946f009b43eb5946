// make_fax_tiff: writes a multi-page fax TIFF with text on every page.
//   make_fax_tiff OUT.tif [--pages N] [--coarse] [--g3-2d|--g3-1d|--mh]
//                 [--fill-order-2] [--rows-per-strip N] [--title TEXT]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "tests/support/FaxTiff.h"

int main(int argc, char** argv) {
    if (argc < 2) {
        std::fprintf(stderr,
                     "usage: make_fax_tiff OUT.tif [--pages N] [--coarse] "
                     "[--g3-2d|--g3-1d|--mh] [--fill-order-2] [--rows-per-strip N] "
                     "[--title TEXT]\n");
        return 2;
    }
    testsupport::FaxTiffOptions o;
    for (int i = 2; i < argc; ++i) {
        std::string a = argv[i];
        auto next = [&]() -> const char* { return i + 1 < argc ? argv[++i] : ""; };
        if (a == "--pages")
            o.pages = std::atoi(next());
        else if (a == "--coarse")
            o.fine = false;
        else if (a == "--g3-2d")
            o.coding = testsupport::FaxCoding::G3_2D;
        else if (a == "--g3-1d")
            o.coding = testsupport::FaxCoding::G3_1D;
        else if (a == "--mh")
            o.coding = testsupport::FaxCoding::MH;
        else if (a == "--fill-order-2")
            o.fillOrder2 = true;
        else if (a == "--rows-per-strip")
            o.rowsPerStrip = std::atoi(next());
        else if (a == "--title")
            o.title = next();
        else {
            std::fprintf(stderr, "make_fax_tiff: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (o.pages < 1) o.pages = 1;
    std::string err;
    if (!testsupport::WriteFaxTiff(argv[1], o, &err)) {
        std::fprintf(stderr, "make_fax_tiff: %s\n", err.c_str());
        return 1;
    }
    return 0;
}
