#include "tests/support/RunContext.h"

#include <cerrno>
#include <cstdlib>
#include <filesystem>
#include <fstream>

namespace testsupport {

using platform::Fail;
using platform::Status;

namespace {

std::string Head(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string buf(256, '\0');
    in.read(buf.data(), 256);
    buf.resize(static_cast<std::size_t>(in.gcount()));
    return buf;
}

const char* Tag(platform::LogLevel level) {
    switch (level) {
        case platform::LogLevel::Error:
            return "E|";
        case platform::LogLevel::Warning:
            return "W|";
        case platform::LogLevel::Info:
            return "I|";
        default:
            return "D|";
    }
}

platform::Clock& Pick(RunOptions::Clock kind, RunContext& c) {
    switch (kind) {
        case RunOptions::Clock::Real:
            return c.systemClock;
        case RunOptions::Clock::Stepping:
            return c.steppingClock;
        default:
            return c.manualClock;
    }
}

}  // namespace

platform::Result<platform::ImageInfo> MagicImaging::Open(const std::string& path) {
    if (!std::filesystem::exists(path))
        return Status::Error(Fail::NotFound, "File not found: " + path);
    const std::string head = Head(path);
    if (head.rfind("II*", 0) != 0)
        return Status::Error(Fail::Format, "Not a readable image: " + path);
    if (head.find("BOMB") != std::string::npos)
        return Status::Error(Fail::Format, "Image too large: " + path + " (7000 x 7000 pixels)");
    if (head.find("LONG") != std::string::npos)
        return Status::Error(Fail::Format, "Too many pages: " + path + " (more than 300)");
    platform::ImageInfo info;
    info.pages = 1;
    const auto p = head.find("PAGES=");
    if (p != std::string::npos) info.pages = std::atoi(head.c_str() + p + 6);
    return info;
}

Status MagicImaging::Print(const std::string& path, const std::string& printerName) {
    auto info = Open(path);
    if (!info) return info.status();
    const std::string head = Head(path);
    if (head.find("NOPRINT") != std::string::npos)
        return Status::Error(Fail::Format, "Truncated image: " + path);
    if (head.find("DISKFULL") != std::string::npos) {
        Status full =
            Status::Error(Fail::Io, "Cannot write " + path + ".pdf: No space left on device");
        full.error = ENOSPC;
        return full;
    }
    if (failAfter >= 0 && static_cast<int>(printedContents.size()) >= failAfter)
        return Status::Error(Fail::Rejected, "Printer Error : the printer has gone away");
    Status st = printers.PrintDocument(printerName, path, path, info->pages);
    if (st) printedContents.push_back(Head(path));
    if (st && onPrint) onPrint();
    return st;
}

void MagicPrinting(RunContext& c) {
    c.ownImaging = std::make_unique<MagicImaging>(c.fakePrinters);
}

RunContext::RunContext(RunOptions o)
    : clock(Pick(o.clock, *this)),
      profile(dir / o.profile),
      log(platform::LogLevel::Debug,
          [this](platform::LogLevel level, std::string_view line) {
              logLines.push_back(Tag(level) + std::string(line));
          }),
      ctx(Build(o)) {}

config::Context& RunContext::Build(const RunOptions& o) {
    env.programFolder = o.home.empty() ? dir.path() : dir / o.home;
    env.profilePath = dir / o.profile;
    env.configDir = std::filesystem::path(env.profilePath).parent_path().string();
    run.Init(env.programFolder);
    if (o.makeFolders)
        for (const std::string& f : {run.gTempDir, run.gInDir, run.gOutFolder, run.gMDNFolder})
            std::filesystem::create_directories(f);
    if (o.printing) o.printing(*this);
    if (o.store) o.store(*this);
    platform::Printers& printers = ownPrinters ? *ownPrinters : fakePrinters;
    platform::Imaging& imaging = ownImaging ? *ownImaging : fakeImaging;
    platform::MailStore& mailStore = ownStore ? *ownStore : store;
    platform::SocketFactory& sockets = o.sockets ? *o.sockets : deadSockets;
    built_.reset(new config::Context{env, options, loop, profile, dialogs, printers, imaging,
                                     sockets, mailStore, cfg, run, log});
    return *built_;
}

int RunContext::Logged(const std::string& tagAndText) const {
    int n = 0;
    for (const auto& l : logLines)
        n += l.rfind(tagAndText.substr(0, 2), 0) == 0 &&
             l.find(tagAndText.substr(2)) != std::string::npos;
    return n;
}

}  // namespace testsupport
