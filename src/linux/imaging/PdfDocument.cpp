#include "linux/imaging/PdfDocument.h"

#include <algorithm>
#include <cerrno>
#include <cstring>

namespace platform::imaging {

Placement PlacePage(const PageImage& page, double sheetWidth, double sheetHeight) {
    const double w = page.width * 72.0 / page.xdpi;
    const double h = page.height * 72.0 / page.ydpi;
    const double scale = std::min(sheetWidth / w, sheetHeight / h);
    Placement p;
    p.left = (sheetWidth - w * scale) / 2;
    p.top = (sheetHeight - h * scale) / 2;
    p.xScale = scale * 72.0 / page.xdpi;
    p.yScale = scale * 72.0 / page.ydpi;
    return p;
}

FaxPdfWriter::~FaxPdfWriter() {
    if (f_) std::fclose(f_);
}

void FaxPdfWriter::Write(const void* data, std::size_t size) {
    if (failed_) return;
    if (std::fwrite(data, 1, size, f_) != size) failed_ = true;
    offset_ += static_cast<long>(size);
}

void FaxPdfWriter::Write(const std::string& s) {
    Write(s.data(), s.size());
}

int FaxPdfWriter::NewObject() {
    offsets_.push_back(offset_);
    const int n = static_cast<int>(offsets_.size()) - 1;
    Write(std::to_string(n) + " 0 obj\n");
    return n;
}

Status FaxPdfWriter::Begin() {
    f_ = std::fopen(path_.c_str(), "wb");
    if (!f_) return ErrnoStatus(Fail::Io, "Cannot write " + path_);
    offsets_.assign(3, 0);  // 1: catalog, 2: page tree (written last)
    Write("%PDF-1.4\n%\xe2\xe3\xcf\xd3\n");
    return Status::Ok();
}

Status FaxPdfWriter::AddPage(const PageImage& page, double sheetWidth, double sheetHeight) {
    const Placement at = PlacePage(page, sheetWidth, sheetHeight);
    char buf[512];
    std::string content;
    std::string resources;
    std::vector<int> images;
    for (std::size_t i = 0; i < page.bands.size(); ++i) {
        const auto& band = page.bands[i];
        const FaxData& fax = *band.fax;
        const int obj = NewObject();
        images.push_back(obj);
        std::snprintf(buf, sizeof buf,
                      "<< /Type /XObject /Subtype /Image /Width %d /Height %d /ColorSpace "
                      "/DeviceGray /BitsPerComponent 1 /Filter /CCITTFaxDecode /DecodeParms << "
                      "/K %d /Columns %d /Rows %d%s%s%s >> /Length %zu >>\nstream\n",
                      fax.columns, fax.rows, fax.K, fax.columns, fax.rows,
                      fax.endOfLine ? " /EndOfLine true" : "",
                      fax.encodedByteAlign ? " /EncodedByteAlign true" : "",
                      fax.blackIs1 ? " /BlackIs1 true" : "", fax.bytes.size());
        Write(buf);
        Write(fax.bytes.data(), fax.bytes.size());
        Write("\nendstream\nendobj\n");
        // Image space is a unit square: scale it to the band and put it in
        // place (PDF counts y from the bottom of the sheet).
        const double w = fax.columns * at.xScale;
        const double h = band.rows * at.yScale;
        const double bottom = sheetHeight - at.top - (band.top + band.rows) * at.yScale;
        std::snprintf(buf, sizeof buf, "q %.4f 0 0 %.4f %.4f %.4f cm /I%zu Do Q\n", w, h, at.left,
                      bottom, i);
        content += buf;
        resources += " /I" + std::to_string(i) + " " + std::to_string(obj) + " 0 R";
    }
    const int contents = NewObject();
    Write("<< /Length " + std::to_string(content.size()) + " >>\nstream\n" + content +
          "endstream\nendobj\n");
    const int pageObj = NewObject();
    std::snprintf(buf, sizeof buf, "<< /Type /Page /Parent 2 0 R /MediaBox [0 0 %.3f %.3f] ",
                  sheetWidth, sheetHeight);
    Write(std::string(buf) + "/Resources << /XObject <<" + resources + " >> >> /Contents " +
          std::to_string(contents) + " 0 R >>\nendobj\n");
    pages_.push_back(pageObj);
    return failed_ ? ErrnoStatus(Fail::Io, "Cannot write " + path_) : Status::Ok();
}

Status FaxPdfWriter::Finish() {
    offsets_[1] = offset_;
    Write("1 0 obj\n<< /Type /Catalog /Pages 2 0 R >>\nendobj\n");
    offsets_[2] = offset_;
    std::string kids;
    for (int p : pages_) kids += std::to_string(p) + " 0 R ";
    Write("2 0 obj\n<< /Type /Pages /Kids [ " + kids + "] /Count " + std::to_string(pages_.size()) +
          " >>\nendobj\n");
    const long xref = offset_;
    Write("xref\n0 " + std::to_string(offsets_.size()) + "\n0000000000 65535 f \n");
    char line[32];
    for (std::size_t i = 1; i < offsets_.size(); ++i) {
        std::snprintf(line, sizeof line, "%010ld 00000 n \n", offsets_[i]);
        Write(line);
    }
    Write("trailer\n<< /Size " + std::to_string(offsets_.size()) + " /Root 1 0 R >>\nstartxref\n" +
          std::to_string(xref) + "\n%%EOF\n");
    const bool closed = std::fclose(f_) == 0;
    f_ = nullptr;
    if (failed_ || !closed) return ErrnoStatus(Fail::Io, "Cannot write " + path_);
    return Status::Ok();
}

}  // namespace platform::imaging
