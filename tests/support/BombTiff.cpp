#include "tests/support/BombTiff.h"

#include <tiffio.h>

#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

namespace testsupport {
namespace {

// The deflate data of one strip of white pixels, made by libtiff itself.
std::string WhiteStrip(const std::string& scratch, int width, int rows) {
    TIFF* t = TIFFOpen(scratch.c_str(), "w");
    if (!t) return {};
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, width);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, rows);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_ADOBE_DEFLATE);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, rows);
    std::vector<unsigned char> px(static_cast<std::size_t>(width) * 3 * rows, 0xff);
    const bool ok = TIFFWriteEncodedStrip(t, 0, px.data(), static_cast<tmsize_t>(px.size())) >= 0;
    TIFFClose(t);
    if (!ok) return {};
    t = TIFFOpen(scratch.c_str(), "r");
    if (!t) return {};
    std::string out(static_cast<std::size_t>(TIFFRawStripSize(t, 0)), '\0');
    const tmsize_t got = TIFFReadRawStrip(t, 0, out.data(), static_cast<tmsize_t>(out.size()));
    TIFFClose(t);
    std::remove(scratch.c_str());
    if (got <= 0) return {};
    out.resize(static_cast<std::size_t>(got));
    return out;
}

void Put16(std::string& s, std::uint32_t v) {
    s += static_cast<char>(v & 0xff);
    s += static_cast<char>((v >> 8) & 0xff);
}
void Put32(std::string& s, std::uint32_t v) {
    Put16(s, v & 0xffff);
    Put16(s, v >> 16);
}

}  // namespace

bool WriteBombTiff(const std::string& path, int width, int height, int pages, int rowsPerStrip) {
    const std::string strip = WhiteStrip(path + ".strip", width, rowsPerStrip);
    if (strip.empty()) return false;
    const std::uint32_t strips =
        static_cast<std::uint32_t>((height + rowsPerStrip - 1) / rowsPerStrip);

    // Little-endian classic TIFF: header, the shared strip, the shared
    // tables, then one directory per page, each pointing at the same data.
    std::string f = "II";
    Put16(f, 42);
    Put32(f, 0);  // first directory, patched below
    const std::uint32_t stripAt = static_cast<std::uint32_t>(f.size());
    f += strip;
    const std::uint32_t bpsAt = static_cast<std::uint32_t>(f.size());
    Put16(f, 8), Put16(f, 8), Put16(f, 8);
    const std::uint32_t offsetsAt = static_cast<std::uint32_t>(f.size());
    for (std::uint32_t i = 0; i < strips; ++i) Put32(f, stripAt);
    const std::uint32_t countsAt = static_cast<std::uint32_t>(f.size());
    for (std::uint32_t i = 0; i < strips; ++i) Put32(f, static_cast<std::uint32_t>(strip.size()));
    if (f.size() % 2) f += '\0';

    auto entry = [&f](std::uint16_t tag, std::uint16_t type, std::uint32_t count, std::uint32_t v) {
        Put16(f, tag);
        Put16(f, type);
        Put32(f, count);
        if (type == 3 && count == 1) {
            Put16(f, v);
            Put16(f, 0);
        } else {
            Put32(f, v);
        }
    };
    const std::uint32_t first = static_cast<std::uint32_t>(f.size());
    f[4] = static_cast<char>(first & 0xff), f[5] = static_cast<char>((first >> 8) & 0xff);
    f[6] = static_cast<char>((first >> 16) & 0xff), f[7] = static_cast<char>(first >> 24);
    constexpr std::uint16_t kEntries = 10;
    const std::uint32_t dirSize = 2 + kEntries * 12 + 4;
    for (int p = 0; p < pages; ++p) {
        const std::uint32_t next =
            p + 1 < pages ? static_cast<std::uint32_t>(f.size()) + dirSize : 0;
        Put16(f, kEntries);
        entry(256, 4, 1, static_cast<std::uint32_t>(width));
        entry(257, 4, 1, static_cast<std::uint32_t>(height));
        entry(258, 3, 3, bpsAt);
        entry(259, 3, 1, COMPRESSION_ADOBE_DEFLATE);
        entry(262, 3, 1, PHOTOMETRIC_RGB);
        entry(273, 4, strips, strips == 1 ? stripAt : offsetsAt);
        entry(277, 3, 1, 3);
        entry(278, 4, 1, static_cast<std::uint32_t>(rowsPerStrip));
        entry(279, 4, strips, strips == 1 ? static_cast<std::uint32_t>(strip.size()) : countsAt);
        entry(284, 3, 1, PLANARCONFIG_CONTIG);
        Put32(f, next);
    }
    std::FILE* out = std::fopen(path.c_str(), "wb");
    if (!out) return false;
    const bool ok = std::fwrite(f.data(), 1, f.size(), out) == f.size();
    return std::fclose(out) == 0 && ok;
}

}  // namespace testsupport
