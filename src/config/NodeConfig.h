#pragma once
// The node configuration: the scheduler's settings of section [VOXA-FAX],
// read once per run by getfaxpierinfo. Names are those the rest of the
// program and the scheduler's documentation use.
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

namespace platform {
class ProfileStore;
}

namespace config {

inline constexpr const char* kSection = "VOXA-FAX";
// The service's constants.
inline constexpr const char* kServiceWebAddress = "WWW.VOXAFAX.EXAMPLE";
inline constexpr const char* kServiceMailDomain = "voxafax.example";
inline constexpr const char* kServiceLastResortSmtp = "smtp.voxafax.example";

struct NodeConfig {
    std::int32_t gWakeInterval = 0;   // ms between inbox checks under /3
    std::int32_t gWakeProbes = 0;     // further inbox checks under /3
    std::int32_t gTimoutMinutes = 0;  // timer ticks a network wait allows
    std::string gGSTNFaxMinutes;
    std::string gMemberStatus;  // compared as text with "0" and "1"
    std::string gNICIPAddress;
    std::string gAppPath;
    std::string gPrintExe;
    std::string gVFDomainName;
    std::string gVoxaFaxProfile;
    std::string gLocalFaxProfile;
    bool gflgUseProfile = false;
    std::string gCometPath;
    bool gflgPrintFullHeader = false;
    bool gflgPrintSimpleHeader = false;
    bool gflgPrintErrorInfo = false;
    bool gflgActivateScheduler = false;
    std::vector<std::string> gPrintFileTypes;  // entries 0 .. gPrintFileTypeCount-1
    std::int16_t gPrintFileTypeCount = 0;
    std::string gprinterName;
    std::string gAreaCode;
    std::string gCountryCode;
    std::string gFaxNumber;
    std::string gVoxaFaxName;
    std::string gVoxaFaxAddr;
    std::string gPassword;
    std::string gNormalEMailAddr;
    std::string gStartTime;
    std::string gStopTime;
    std::string gCycleMinutes;
    bool gflgModemConnect = false;
    std::string gDUNName;
    bool gflgRegEmail = false;
    std::string gRegularMailProfile;
    bool gflgFirewall = false;
    bool gflgAlwaysConnect = false;
    bool gflgAutoDisConnect = false;
    std::string gPublicIPAddr;
    bool gflgFaxPing = false;
    bool gflgPrintPageHdr = false;
    bool gflgPrintNormalFax = false;
    std::string gNormalFaxProfile;
    bool gflgConfirmReceipt = false;
    bool gflgSaveMDNs = false;
    std::string gSavePass;
    std::string gUserSMTPServer;
    std::string gSMTPServer2;
    std::string gLastResortSMTPServer;
    std::string gVFIPAddress;
    std::string gVFSMTPSrvrName;
    std::string gDefaultSMTPServers;
    std::string gACDateStamp;
    std::string gUserProfileStamp;
    std::vector<std::string> gForward2;  // numbered from 1; never grows
    std::vector<std::string> gForward1;
};

// Reads the 54 keys in their fixed order. A conversion that fails keeps the
// setting's earlier value.
void getfaxpierinfo(NodeConfig& cfg, const platform::ProfileStore& profile);

// One profile read of section [VOXA-FAX] through the shared 255-character
// buffer: the value, or the default when the key is absent.
std::string ReadKey(const platform::ProfileStore& profile, std::string_view key,
                    std::string_view def);

// Splits text at a one-character delimiter into list entries from startIndex
// on; returns the index after the last entry stored, 0 for an empty text.
// "room" is the list's capacity (entries beyond it are dropped unless grow).
std::int16_t ArrayLoad(int startIndex, std::vector<std::string>& list, std::string text,
                       char delimiter, bool grow);

// The usual numeric text conversion to a 32-bit integer: blanks around,
// fractions rounded half to even. False on any other text or overflow.
bool ToInt32(std::string_view text, std::int32_t& out);

}  // namespace config
