#pragma once
// Image bombs for tests: TIFFs of a few kilobytes that describe huge RGB
// pages (and many of them), because every strip of every page points at one
// shared block of deflate data.
#include <string>

namespace testsupport {

// Writes a TIFF of `pages` pages of width x height RGB pixels, deflate
// coded, rowsPerStrip rows per strip; false when it cannot be written.
bool WriteBombTiff(const std::string& path, int width, int height, int pages,
                   int rowsPerStrip = 16);

}  // namespace testsupport
