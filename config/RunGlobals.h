#pragma once
// Run-wide values set by the start-up and read across the program: the
// program's folders, its constant texts, the last error and the counters.
#include <cstdint>
#include <string>
#include <string_view>

namespace platform {
class ProfileStore;
}

namespace config {

struct RunGlobals {
    std::string gAppTitle = "VOXA-FAX Print Utility";
    std::string gFormCaption = "VOXA-FAX Print v 0.8.1";  // the title form's caption
    std::string gVersion = "0.8.2";
    std::string gMDNBoundary;
    std::string gBannerText;

    std::string gAppPath;  // no trailing slash
    std::string gTempDir;  // gAppPath + "/temp/"
    std::string gInDir;
    std::string gOutFolder;
    std::string gMDNFolder;

    std::string gLastError;
    bool gflgTest = true;  // the text printer holds page bodies back while set
    bool gflgRegularPass = false;
    std::string gCommandSwitch;
    bool flgDeliverNow = false;
    bool gflgPrintTest = false;
    std::string gLogin;
    std::string gPOPServer;

    // Run counters: never reset during a run.
    std::int32_t gVFPrinted = 0;
    std::int32_t gVFUnprintable = 0;
    std::int32_t gRegPrinted = 0;
    std::int32_t gRegUnprintable = 0;
    std::int32_t gFourthCounter = 0;  // written in key session; nothing advances it

    // Sets the constant texts and the folder names from the program folder.
    void Init(const std::string& appPath);
};

// Writes key print_status: the program's one progress channel.
void WriteStatus(platform::ProfileStore& profile, std::string_view text);

}  // namespace config
