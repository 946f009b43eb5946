#pragma once
// Multi-page fax TIFFs with readable text on every page, for tests, the demo
// and the benchmarks. Each page carries a frame, an arrow pointing up (to see
// that a rendering is upright), "PAGE n OF m" and lines of sample text, drawn
// in proportion at the page's own resolution.
#include <string>

namespace testsupport {

enum class FaxCoding {
    G4,     // T.6 (compression 4)
    G3_2D,  // T.4 two-dimensional (compression 3)
    G3_1D,  // T.4 one-dimensional (compression 3)
    MH,     // modified Huffman (compression 2)
};

struct FaxTiffOptions {
    int pages = 1;
    bool fine = true;  // 204 x 196 dpi; false: 204 x 98 dpi
    FaxCoding coding = FaxCoding::G4;
    bool fillOrder2 = false;  // bits stored least significant first
    int rowsPerStrip = 0;     // 0: one strip per page
    std::string title = "VOXA-FAX test fax";
};

// Writes the file; false with a reason in *error on failure.
bool WriteFaxTiff(const std::string& path, const FaxTiffOptions& options,
                  std::string* error = nullptr);

// Fax page size in pixels.
inline constexpr int kFaxWidth = 1728;
inline int FaxRows(bool fine) {
    return fine ? 2200 : 1100;
}

}  // namespace testsupport
