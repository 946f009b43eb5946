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
    constexpr std::size_t kLastErrorMax = 200;
    return platform::OneLine(run.gLastError, kLastErrorMax);
}

void WriteStatus(platform::ProfileStore& profile, std::string_view text) {
    profile.WriteProfileStringA(kSection, "print_status", text);
}

}  // namespace config
