#include "tests/fakes/FakePrinters.h"

#include <sys/stat.h>

namespace platform {

FakePrinters::FakePrinters() {
    installed.push_back(PrinterInfo{"Fake Printer", false, ""});
    current = "Fake Printer";
}

bool FakePrinters::SetCurrent(const std::string& deviceName) {
    for (const auto& p : installed) {
        if (p.deviceName == deviceName) {
            current = deviceName;
            return true;
        }
    }
    return false;
}

FakeDocument* FakePrinters::Open() {
    return open_ ? &documents.back() : nullptr;
}

std::vector<std::string> FakePrinters::AllLines() const {
    std::vector<std::string> out;
    for (const auto& d : documents)
        for (const auto& page : d.pages) out.insert(out.end(), page.begin(), page.end());
    return out;
}

FakeDocument& FakePrinters::Begin() {
    if (!open_) {
        documents.push_back(FakeDocument{});
        documents.back().printer = current;
        documents.back().key = key_;
        documents.back().fontSizes.push_back(fontSize_);
        documents.back().columns = columns_;
        documents.back().lines = lines_;
        documents.back().pages.emplace_back();
        open_ = true;
        pendingPage_ = false;
    }
    return documents.back();
}

Status FakePrinters::SetFontSize(double points, int columns, int lines) {
    if (failText) return *failText;
    fontSize_ = points;
    columns_ = columns;
    lines_ = lines;
    if (open_) {
        documents.back().fontSizes.push_back(points);
        documents.back().columns = columns;
        documents.back().lines = lines;
    }
    return Status::Ok();
}

Status FakePrinters::PrintLine(std::string_view text) {
    ++lineCalls;
    if (failText) return *failText;
    FakeDocument& doc = Begin();
    if (pendingPage_) {
        doc.pages.emplace_back();
        pendingPage_ = false;
    }
    std::string line;
    for (char c : text) {
        if (c == '\n') {
            doc.pages.back().push_back(line);
            line.clear();
        } else if (c != '\r') {
            line += c;
        }
    }
    doc.pages.back().push_back(line);
    return Status::Ok();
}

Status FakePrinters::NewPage() {
    if (failText) return *failText;
    Begin();
    pendingPage_ = true;
    return Status::Ok();
}

Status FakePrinters::EndDoc() {
    if (failText) return *failText;
    if (open_) {
        documents.back().ended = true;
        HoldIfHolding(documents.back());
        open_ = false;
        pendingPage_ = false;
        lastDelivery_ = "document " + std::to_string(documents.size());
    }
    return Status::Ok();
}

Status FakePrinters::PrintDocument(const std::string& printerName, const std::string& pdfPath,
                                   const std::string& title, int pages) {
    if (failDocuments) return *failDocuments;
    std::string target = printerName.empty() ? current : printerName;
    bool known = false;
    for (const auto& p : installed) known = known || p.deviceName == target;
    if (!known) return Status::Error(Fail::Rejected, "Printer Error : no printer named " + target);
    FakeDocument doc;
    doc.printer = target;
    doc.whole = true;
    doc.title = title;
    doc.pdfPath = pdfPath;
    doc.sheets = pages;
    doc.ended = true;
    doc.key = key_;
    HoldIfHolding(doc);
    // Keep an open text document last, where Open() looks for it.
    if (open_)
        documents.insert(documents.end() - 1, std::move(doc));
    else
        documents.push_back(std::move(doc));
    lastDelivery_ = "document " + std::to_string(documents.size() - (open_ ? 1 : 0));
    return Status::Ok();
}

bool FakePrinters::Delivered(const std::string& printerName, const std::string& key) {
    const std::string target = printerName.empty() ? current : printerName;
    for (const auto& d : documents)
        if (d.ended && !d.held && !key.empty() && d.key == key && d.printer == target) return true;
    return false;
}

Result<ImageInfo> FakeImaging::Open(const std::string& path) {
    if (auto b = broken_.find(path); b != broken_.end()) return b->second;
    if (auto i = images_.find(path); i != images_.end())
        return ImageInfo{ImageFormat::Tiff, i->second};
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return Status::Error(Fail::NotFound, "File not found: " + path);
    return Status::Error(Fail::Format, "Not a readable image: " + path);
}

Status FakeImaging::Print(const std::string& path, const std::string& printerName) {
    auto info = Open(path);
    if (!info) return info.status();
    Status st = printers_.PrintDocument(printerName, path, path, info->pages);
    if (st) printed.push_back(Printed{path, printerName, info->pages});
    return st;
}

bool FakePrinters::Hold(const std::string& tag) {
    holdTag_ = holds ? tag : std::string();
    return !holdTag_.empty();
}

void FakePrinters::HoldIfHolding(FakeDocument& doc) {
    if (holdTag_.empty() || doc.key.empty()) return;
    doc.held = true;
    doc.heldTag = holdTag_;
}

Status FakePrinters::NameHeld() {
    if (failNameHeld) return *failNameHeld;
    for (auto& d : documents)
        if (d.held && d.heldTag == holdTag_) d.held = false;
    return Status::Ok();
}

Status FakePrinters::RecoverHeld(const std::string& tag,
                                 const std::function<bool(const std::string& key)>& printed) {
    std::erase_if(documents, [&](FakeDocument& d) {
        if (!d.held || d.heldTag != tag) return false;
        d.held = false;
        return !printed(d.key);
    });
    return Status::Ok();
}

int FakePrinters::Visible(const std::string& keyPrefix) const {
    int n = 0;
    for (const auto& d : documents) n += d.ended && !d.held && d.key.rfind(keyPrefix, 0) == 0;
    return n;
}

}  // namespace platform
