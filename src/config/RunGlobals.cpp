#include "config/RunGlobals.h"

#include "config/NodeConfig.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace config {

void RunGlobals::Init(const std::string& appPath) {
    gMDNBoundary =
        std::string(">>>>A_PERFECTLY_VOXA-FAX<<courtesy>>") + kServiceWebAddress + "<<<<";
    gBannerText =
        std::string(">>>-------This PERFECTLY VOXA-FAX is printed with VOXA-FAX Print from ") +
        kServiceWebAddress + "----------<<<\r\n\r\n";
    gAppPath = appPath;
    gTempDir = appPath + "/temp/";
    gInDir = appPath + "/In/";
    gOutFolder = appPath + "/Out/";
    gMDNFolder = appPath + "/MDNs/";
}

std::string LastErrorValue(const RunGlobals& run) {
    // A longer text keeps its beginning (what failed) and its end (why, where
    // the errno text stands) and loses the middle, mostly a path.
    constexpr std::size_t kMax = 200, kHead = 120;
    constexpr std::string_view kGap = " ... ";
    const std::string line = platform::OneLine(run.gLastError);
    if (line.size() <= kMax) return line;
    return line.substr(0, kHead) + std::string(kGap) +
           line.substr(line.size() - (kMax - kHead - kGap.size()));
}

void WriteStatus(platform::ProfileStore& profile, std::string_view text) {
    profile.WriteProfileStringA(kSection, "print_status", text);
}

}  // namespace config
