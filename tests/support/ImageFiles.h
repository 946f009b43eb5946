#pragma once
// Small image files for tests, written on the spot, and a look at rendered
// PDF pages through poppler's tools.
#include <tiffio.h>
#include <turbojpeg.h>

#include <cstddef>
#include <cstdio>
#include <string>
#include <vector>

#include "tests/support/TempDir.h"

namespace printtest {

inline bool HaveTool(const std::string& tool) {
    return std::system(("command -v " + tool + " >/dev/null 2>&1").c_str()) == 0;
}

inline std::string Run(const std::string& cmd) {
    std::string out;
    if (FILE* p = ::popen(cmd.c_str(), "r")) {
        char buf[4096];
        std::size_t n;
        while ((n = std::fread(buf, 1, sizeof buf, p)) > 0) out.append(buf, n);
        ::pclose(p);
    }
    return out;
}

inline int PdfPages(const std::string& pdf) {
    std::string info = Run("pdfinfo '" + pdf + "' 2>/dev/null");
    auto at = info.find("Pages:");
    return at == std::string::npos ? -1 : std::atoi(info.c_str() + at + 6);
}

// One page rendered in grey at a low resolution.
struct Gray {
    int width = 0, height = 0;
    std::vector<unsigned char> px;
    bool Ink(int x, int y) const { return px[static_cast<std::size_t>(y) * width + x] < 128; }
    // Bounding box of the ink: x0, y0, x1, y1.
    std::vector<int> InkBox() const {
        int x0 = width, y0 = height, x1 = -1, y1 = -1;
        for (int y = 0; y < height; ++y)
            for (int x = 0; x < width; ++x)
                if (Ink(x, y)) {
                    x0 = std::min(x0, x), x1 = std::max(x1, x);
                    y0 = std::min(y0, y), y1 = std::max(y1, y);
                }
        return {x0, y0, x1, y1};
    }
    int InkIn(int x0, int y0, int x1, int y1) const {
        int n = 0;
        for (int y = y0; y < y1; ++y)
            for (int x = x0; x < x1; ++x) n += Ink(x, y);
        return n;
    }
};

inline Gray RenderPage(const std::string& pdf, int page, const std::string& workDir, int dpi = 30) {
    Gray g;
    const std::string prefix = workDir + "/render";
    Run("pdftoppm -gray -r " + std::to_string(dpi) + " -f " + std::to_string(page) + " -l " +
        std::to_string(page) + " -singlefile '" + pdf + "' '" + prefix + "' 2>/dev/null");
    std::string data = testsupport::ReadFile(prefix + ".pgm");
    int maxv = 0, used = 0;
    if (std::sscanf(data.c_str(), "P5 %d %d %d%n", &g.width, &g.height, &maxv, &used) != 3)
        return g;
    g.px.assign(data.begin() + used + 1, data.end());
    if (g.px.size() < static_cast<std::size_t>(g.width) * g.height) g.width = g.height = 0;
    return g;
}

// A JPEG of a dark square on white, of the given size.
inline void WriteJpeg(const std::string& path, int w, int h) {
    std::vector<unsigned char> rgb(static_cast<std::size_t>(w) * h * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x) {
            bool dark = x > w / 4 && x < 3 * w / 4 && y > h / 4 && y < 3 * h / 4;
            unsigned char v = dark ? 20 : 250;
            unsigned char* px = rgb.data() + (static_cast<std::size_t>(y) * w + x) * 3;
            px[0] = px[1] = v;
            px[2] = static_cast<unsigned char>(dark ? 200 : 250);
        }
    }
    tjhandle tj = tjInitCompress();
    unsigned char* jpeg = nullptr;
    unsigned long size = 0;
    if (tjCompress2(tj, rgb.data(), w, 0, h, TJPF_RGB, &jpeg, &size, TJSAMP_420, 75, 0) == 0)
        testsupport::WriteFile(path, std::string(reinterpret_cast<char*>(jpeg), size));
    tjFree(jpeg);
    tjDestroy(tj);
}

// A TIFF header (and a token strip) claiming a page of w x h pixels.
inline void WriteHugeTiffHeader(const std::string& path, std::uint32_t w, std::uint32_t h) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_CCITTFAX4);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
    unsigned char junk[16] = {0x26, 0xa0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0, 0};
    TIFFWriteRawStrip(t, 0, junk, sizeof junk);
    TIFFClose(t);
}

}  // namespace printtest
