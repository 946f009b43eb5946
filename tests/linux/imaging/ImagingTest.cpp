// The image readers through the whole path: file in, PDF out, rendered and
// looked at. Each test image is dark in its top-left quarter only, so a
// rendering shows whether rows came out in the right order.
#include <gtest/gtest.h>
#include <tiffio.h>

#include <filesystem>
#include <functional>

#include "linux/imaging/ImageLibrary.h"
#include "tests/support/FaxTiff.h"
#include "tests/support/ImageFiles.h"
#include "tests/support/TempDir.h"

namespace {

using Bytes = std::string;

void Put16(Bytes& b, unsigned v) {
    b += char(v & 255);
    b += char((v >> 8) & 255);
}
void Put32(Bytes& b, std::uint32_t v) {
    Put16(b, v & 0xffff);
    Put16(b, v >> 16);
}

bool DarkAt(int x, int y, int w, int h) {
    return x < w / 2 && y < h / 2;
}

// bpp 1, 8 or 24; rle8 codes the 8-bit rows as runs. Rows are bottom-up.
Bytes Bmp(int w, int h, int bpp, bool rle8 = false, int xppm = 2835, int yppm = 2835) {
    Bytes pix;
    const int rowBytes = ((w * bpp + 31) / 32) * 4;
    for (int y = h - 1; y >= 0; --y) {
        Bytes row(static_cast<std::size_t>(rowBytes), '\0');
        for (int x = 0; x < w; ++x) {
            bool d = DarkAt(x, y, w, h);
            if (bpp == 1) {
                if (!d) row[static_cast<std::size_t>(x / 8)] |= char(0x80 >> (x % 8));
            } else if (bpp == 8) {
                row[static_cast<std::size_t>(x)] = d ? 0 : 1;
            } else {
                for (int c = 0; c < 3; ++c)
                    row[static_cast<std::size_t>(x * 3 + c)] = d ? 0 : char(255);
            }
        }
        if (rle8) {
            for (int x = 0; x < w;) {
                int n = 1;
                while (x + n < w && n < 255 && row[std::size_t(x + n)] == row[std::size_t(x)]) ++n;
                pix += char(n);
                pix += row[static_cast<std::size_t>(x)];
                x += n;
            }
            pix += '\0';
            pix += '\0';
        } else {
            pix += row;
        }
    }
    if (rle8) pix += Bytes("\0\1", 2);
    Bytes pal;
    if (bpp <= 8) {
        Put32(pal, 0x000000);
        Put32(pal, 0xffffff);
        pal.resize(bpp == 1 ? 8 : 1024, '\0');
    }
    Bytes b = "BM";
    Put32(b, static_cast<std::uint32_t>(14 + 40 + pal.size() + pix.size()));
    Put32(b, 0);
    Put32(b, static_cast<std::uint32_t>(14 + 40 + pal.size()));
    Put32(b, 40);
    Put32(b, static_cast<std::uint32_t>(w));
    Put32(b, static_cast<std::uint32_t>(h));
    Put16(b, 1);
    Put16(b, static_cast<unsigned>(bpp));
    Put32(b, rle8 ? 1 : 0);
    Put32(b, static_cast<std::uint32_t>(pix.size()));
    Put32(b, static_cast<std::uint32_t>(xppm));
    Put32(b, static_cast<std::uint32_t>(yppm));
    Put32(b, 0);
    Put32(b, 0);
    return b + pal + pix;
}

// 8-bit PCX with a two-colour palette, or 1-bit.
Bytes Pcx(int w, int h, int bpp, int hdpi = 100, int vdpi = 100) {
    const int bpl = bpp == 8 ? (w + 1) / 2 * 2 : (w + 15) / 16 * 2;
    Bytes b(128, '\0');
    b[0] = 0x0a, b[1] = 5, b[2] = 1, b[3] = char(bpp);
    auto set16 = [&](int at, int v) {
        b[std::size_t(at)] = char(v & 255), b[std::size_t(at + 1)] = char(v >> 8);
    };
    set16(8, w - 1);
    set16(10, h - 1);
    set16(12, hdpi);
    set16(14, vdpi);
    b[65] = 1;
    set16(66, bpl);
    for (int y = 0; y < h; ++y) {
        Bytes row(static_cast<std::size_t>(bpl), '\0');
        for (int x = 0; x < w; ++x) {
            bool d = DarkAt(x, y, w, h);
            if (bpp == 8)
                row[std::size_t(x)] = d ? 0 : 1;
            else if (!d)
                row[std::size_t(x / 8)] |= char(0x80 >> (x % 8));
        }
        for (int x = 0; x < bpl;) {
            int n = 1;
            while (x + n < bpl && n < 63 && row[std::size_t(x + n)] == row[std::size_t(x)]) ++n;
            b += char(0xc0 | n);
            b += row[std::size_t(x)];
            x += n;
        }
    }
    if (bpp == 8) {
        b += '\x0c';
        Bytes pal(768, '\0');
        pal[3] = pal[4] = pal[5] = char(255);
        b += pal;
    }
    return b;
}

struct Rendered {
    platform::Status status;
    int pages = 0;
    printtest::Gray page1;
};

Rendered Render(testsupport::TempDir& dir, const std::string& file, int dpi = 20) {
    Rendered r;
    const std::string pdf = dir / "out.pdf";
    r.status = platform::RenderImagePdf(file, pdf, &r.pages);
    if (r.status && printtest::HaveTool("pdftoppm"))
        r.page1 = printtest::RenderPage(pdf, 1, dir.path(), dpi);
    return r;
}

void ExpectTopLeftDark(const printtest::Gray& g, double aspect, const std::string& what) {
    if (g.width == 0) return;  // no poppler: the PDF was made, nothing to look at
    auto box = g.InkBox();
    ASSERT_GE(box[2], 0) << what << ": no ink";
    // The dark quarter is the whole ink: its box keeps the image's proportions.
    EXPECT_NEAR(double(box[2] - box[0] + 1) / double(box[3] - box[1] + 1), aspect, 0.08) << what;
    EXPECT_LT(box[1], g.height / 3) << what << ": dark quarter not at the top";
    EXPECT_LT(box[0], g.width / 3) << what << ": dark quarter not at the left";
}

}  // namespace

TEST(ImageReaders, BitmapsOfEveryKindRenderUprightInProportion) {
    testsupport::TempDir dir;
    struct Case {
        std::string name;
        Bytes bytes;
        double aspect;
    } cases[] = {
        {"24.bmp", Bmp(120, 80, 24), 1.5},
        {"8.bmp", Bmp(120, 80, 8), 1.5},
        {"rle8.bmp", Bmp(120, 80, 8, true), 1.5},
        {"1.bmp", Bmp(120, 80, 1), 1.5},
        // Twice the resolution across: half as wide on paper.
        {"aniso.bmp", Bmp(120, 80, 24, false, 7874, 3937), 0.75},
        {"8.pcx", Pcx(100, 50, 8), 2.0},
        {"1.pcx", Pcx(100, 50, 1), 2.0},
        {"aniso.pcx", Pcx(100, 100, 1, 200, 100), 0.5},
    };
    for (const auto& c : cases) {
        testsupport::WriteFile(dir / c.name, c.bytes);
        auto info = platform::ProbeImage(dir / c.name);
        ASSERT_TRUE(info) << c.name << ": " << info.status().detail;
        EXPECT_EQ(info->pages, 1);
        Rendered r = Render(dir, dir / c.name);
        ASSERT_TRUE(r.status) << c.name << ": " << r.status.detail;
        ExpectTopLeftDark(r.page1, c.aspect, c.name);
    }
}

TEST(ImageReaders, DcxHoldsOnePagePerPcx) {
    testsupport::TempDir dir;
    Bytes p1 = Pcx(64, 64, 1), p2 = Pcx(64, 32, 8);
    Bytes dcx;
    Put32(dcx, 0x3ade68b1);
    const std::uint32_t head = 4 + 4 * 1024;
    Put32(dcx, head);
    Put32(dcx, head + static_cast<std::uint32_t>(p1.size()));
    Put32(dcx, 0);
    dcx.resize(head, '\0');
    dcx += p1 + p2;
    testsupport::WriteFile(dir / "two.dcx", dcx);
    auto info = platform::ProbeImage(dir / "two.dcx");
    ASSERT_TRUE(info) << info.status().detail;
    EXPECT_EQ(info->format, platform::ImageFormat::Dcx);
    EXPECT_EQ(info->pages, 2);
    Rendered r = Render(dir, dir / "two.dcx");
    ASSERT_TRUE(r.status) << r.status.detail;
    EXPECT_EQ(r.pages, 2);
    ExpectTopLeftDark(r.page1, 1.0, "dcx");
}

TEST(ImageReaders, FaxTiffsOfEveryCodingAndLayout) {
    testsupport::TempDir dir;
    using testsupport::FaxCoding;
    struct Case {
        FaxCoding coding;
        bool fine, fill2;
        int rows;
    } cases[] = {{FaxCoding::G4, true, false, 0},      {FaxCoding::G4, false, true, 0},
                 {FaxCoding::G4, true, false, 100},    {FaxCoding::G3_2D, true, true, 0},
                 {FaxCoding::G3_1D, false, false, 64}, {FaxCoding::MH, true, true, 300}};
    int n = 0, firstInk = 0;
    for (const auto& c : cases) {
        const std::string name = dir / ("fax" + std::to_string(++n) + ".tif");
        testsupport::FaxTiffOptions o;
        o.pages = 2, o.coding = c.coding, o.fine = c.fine, o.fillOrder2 = c.fill2,
        o.rowsPerStrip = c.rows;
        ASSERT_TRUE(testsupport::WriteFaxTiff(name, o));
        // Every coding and layout ends up as the same pixels.
        Rendered r = Render(dir, name, 100);
        ASSERT_TRUE(r.status) << name << ": " << r.status.detail;
        EXPECT_EQ(r.pages, 2);
        if (r.page1.width == 0) continue;
        auto box = r.page1.InkBox();
        EXPECT_NEAR(double(box[2] - box[0]) / double(box[3] - box[1]), 0.755, 0.03) << name;
        // Every band decoded: the page holds as much ink as the plain one.
        const int ink = r.page1.InkIn(0, 0, r.page1.width, r.page1.height);
        if (n == 1) firstInk = ink;
        EXPECT_NEAR(ink, firstInk, firstInk * 0.1) << name;
    }
}

TEST(ImageReaders, OtherTiffsAreDecoded) {
    testsupport::TempDir dir;
    const std::string path = dir / "rgb.tif";
    TIFF* t = TIFFOpen(path.c_str(), "w");
    const int w = 90, h = 60;
    TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
    TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
    TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 8);
    TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 3);
    TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_RGB);
    TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_LZW);
    TIFFSetField(t, TIFFTAG_PLANARCONFIG, PLANARCONFIG_CONTIG);
    TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, 16);
    std::vector<unsigned char> row(w * 3);
    for (int y = 0; y < h; ++y) {
        for (int x = 0; x < w; ++x)
            for (int c = 0; c < 3; ++c) row[std::size_t(x * 3 + c)] = DarkAt(x, y, w, h) ? 0 : 255;
        TIFFWriteScanline(t, row.data(), static_cast<std::uint32_t>(y), 0);
    }
    TIFFClose(t);
    Rendered r = Render(dir, path);
    ASSERT_TRUE(r.status) << r.status.detail;
    ExpectTopLeftDark(r.page1, 1.5, "lzw rgb tiff");
}

TEST(ImageReaders, DamagedAndHostileFilesAreRefusedWithAReason) {
    testsupport::TempDir dir;
    Bytes bmp = Bmp(64, 64, 24);
    Bytes pcx = Pcx(64, 64, 8);
    Bytes hugeBmp = Bmp(4, 4, 24);
    hugeBmp.replace(18, 8, Bytes("\xa0\x86\x01\x00\xa0\x86\x01\x00", 8));  // 100000 x 100000
    Bytes hugePcx = Pcx(4, 4, 1);
    hugePcx[8] = hugePcx[9] = hugePcx[10] = hugePcx[11] = char(0xff);  // 65536 x 65536
    const struct {
        std::string name;
        Bytes bytes;
        const char* reason;
    } cases[] = {
        {"cut.bmp", bmp.substr(0, bmp.size() - 100), "Truncated image"},
        {"cut.pcx", pcx.substr(0, 300), "Truncated image"},
        {"huge.bmp", hugeBmp, "Image too large"},
        {"huge.pcx", hugePcx, "Image too large"},
        {"empty.tif", "", "Not a readable image"},
        {"bad.dcx", Bytes("\xb1\x68\xde\x3a\xff\xff\xff\x7f\0\0\0\0", 12), "Truncated image"},
        {"weird.bmp", Bytes("BM") + Bytes(60, '\x7f'), "Truncated image"},
    };
    for (const auto& [name, bytes, reason] : cases) {
        testsupport::WriteFile(dir / name, bytes);
        auto info = platform::ProbeImage(dir / name);
        ASSERT_FALSE(info) << name;
        EXPECT_EQ(info.status().detail.rfind(reason, 0), 0u)
            << name << ": " << info.status().detail;
        EXPECT_FALSE(Render(dir, dir / name).status) << name;
    }
}

// A bilevel fax coded in a way that PDF cannot take as it is (PackBits), of
// `pages` pages at 1728 x 1100: its pages are decoded one at a time.
void WriteLongBilevelFax(const std::string& path, int pages) {
    TIFF* t = TIFFOpen(path.c_str(), "w");
    const std::uint32_t w = 1728, h = 1100;
    std::vector<unsigned char> row((w + 7) / 8, 0);
    for (int p = 0; p < pages; ++p) {
        TIFFSetField(t, TIFFTAG_SUBFILETYPE, FILETYPE_PAGE);
        TIFFSetField(t, TIFFTAG_IMAGEWIDTH, w);
        TIFFSetField(t, TIFFTAG_IMAGELENGTH, h);
        TIFFSetField(t, TIFFTAG_BITSPERSAMPLE, 1);
        TIFFSetField(t, TIFFTAG_SAMPLESPERPIXEL, 1);
        TIFFSetField(t, TIFFTAG_PHOTOMETRIC, PHOTOMETRIC_MINISWHITE);
        TIFFSetField(t, TIFFTAG_COMPRESSION, COMPRESSION_PACKBITS);
        TIFFSetField(t, TIFFTAG_ROWSPERSTRIP, h);
        TIFFSetField(t, TIFFTAG_XRESOLUTION, 204.0);
        TIFFSetField(t, TIFFTAG_YRESOLUTION, 98.0);
        TIFFSetField(t, TIFFTAG_RESOLUTIONUNIT, RESUNIT_INCH);
        for (std::uint32_t y = 0; y < h; ++y) TIFFWriteScanline(t, row.data(), y, 0);
        TIFFWriteDirectory(t);
    }
    TIFFClose(t);
}

// Image bombs: a few kilobytes that describe gigapixels (tests/linux/
// imaging/bombs, made by bomb_tiff in tests/scripts/mkfax.py: every strip
// of every page points at one block of deflate data). Each is refused from its
// headers, before any page is decoded, as what it is; one just inside the
// limits is accepted, and so is any real fax, however long: a bilevel page
// costs little to decode and the pages reach paper one fax at a time.
TEST(ImageReaders, ImageBombsAreRefusedAndLongFaxesAreNot) {
    testsupport::TempDir dir;
    const std::string bombs = std::string(VOXAFAX_SOURCE_DIR) + "/tests/linux/imaging/bombs/";
    const std::pair<const char*, const char*> refused[] = {
        {"one-huge-page.tif", "Image too large"},   // 7000 x 7000 pixels
        {"many-big-pages.tif", "Image too large"},  // 40 colour pages of 25 million pixels
    };
    for (const auto& [name, reason] : refused) {
        auto info = platform::ProbeImage(bombs + name);
        ASSERT_FALSE(info) << name;
        EXPECT_EQ(info.status().detail.rfind(reason, 0), 0u) << info.status().detail;
        const std::string pdf = dir / (std::string(name) + ".pdf");
        int pages = -1;
        EXPECT_FALSE(platform::RenderImagePdf(bombs + name, pdf, &pages));
        EXPECT_EQ(pages, -1);
        EXPECT_FALSE(std::filesystem::exists(pdf));
    }
    auto big = platform::ProbeImage(bombs + "big-but-allowed.tif");  // 10 of those pages
    ASSERT_TRUE(big) << big.status().detail;
    EXPECT_EQ(big->pages, 10);

    // 150 pages: 285 million pixels, more than thirty colour pages would have.
    const std::string longFax = dir / "long.tif";
    WriteLongBilevelFax(longFax, 150);
    auto fax = platform::ProbeImage(longFax);
    ASSERT_TRUE(fax) << fax.status().detail;
    EXPECT_EQ(fax->pages, 150);
    EXPECT_TRUE(platform::ProbeImage(bombs + "many-pages.tif"));  // 301 pages

    int pages = 0;
    ASSERT_TRUE(platform::RenderImagePdf(bombs + "300-pages.tif", dir / "edge.pdf", &pages));
    EXPECT_EQ(pages, 300);
    EXPECT_EQ(printtest::PdfPages(dir / "edge.pdf"), 300);
    // [print] max_pages sets the page limit.
    auto capped = platform::ProbeImage(bombs + "many-pages.tif", 300);
    ASSERT_FALSE(capped);
    EXPECT_EQ(capped.status().detail.rfind("Too many pages", 0), 0u);
    EXPECT_NE(capped.status().detail.find("(more than 300)"), std::string::npos);
}
