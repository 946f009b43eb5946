#include "companion/RunView.h"

#include <ostream>

#include "platform/Text.h"

namespace companion {
namespace {

constexpr const char* kEraseLine = "\r\033[K";

}  // namespace

RunView::RunView(std::ostream& out, std::ostream& err, bool terminal)
    : out_(out), err_(err), terminal_(terminal) {}

void RunView::ClearLive() {
    if (!liveShown_) return;
    out_ << kEraseLine << std::flush;
    liveShown_ = false;
}

void RunView::DrawLive() {
    // Never over a question the program is asking.
    if (!terminal_ || status_.empty() || pendingShown_) return;
    out_ << kEraseLine << "  " << status_ << std::flush;
    liveShown_ = true;
}

void RunView::WriteLog(std::string_view text) {
    ClearLive();
    err_ << text << std::flush;
}

void RunView::Status(const std::string& text) {
    std::string t = platform::Trim(text, " \t");
    if (t == status_) return;
    status_ = t;
    if (t.empty()) return;
    if (terminal_) {
        DrawLive();
    } else {
        out_ << "  " << t << "\n" << std::flush;
    }
}

void RunView::LogData(std::string_view bytes) {
    std::size_t nl;
    while ((nl = bytes.find('\n')) != std::string_view::npos) {
        std::string line = pendingShown_ ? std::string() : pending_;
        line.append(bytes.substr(0, nl + 1));
        pending_.clear();
        pendingShown_ = false;
        WriteLog(line);
        bytes.remove_prefix(nl + 1);
    }
    if (!bytes.empty()) {
        if (pendingShown_) WriteLog(bytes);  // more of a question already on the screen
        pending_.append(bytes);
    }
    DrawLive();
}

void RunView::Quiet() {
    if (pending_.empty() || pendingShown_) return;
    WriteLog(pending_);
    pendingShown_ = true;
}

void RunView::Finish() {
    if (!pending_.empty() && !pendingShown_) WriteLog(pending_);
    if (!pending_.empty()) err_ << "\n" << std::flush;
    pending_.clear();
    pendingShown_ = false;
    ClearLive();
}

}  // namespace companion
