#include <cmath>
#include <cstdlib>
#include <limits>

#include "config/NodeConfig.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace config {
namespace {

// The legacy Trim removes blanks only, not TABs or line ends.
std::string TrimSpaces(std::string_view s) {
    return platform::Trim(s, " ");
}

}  // namespace

bool ToInt32(std::string_view text, std::int32_t& out) {
    const std::string s = platform::Trim(text, " \t");
    if (s.empty()) return false;
    // Digits with an optional sign and fraction; nothing else (no hex, no inf).
    std::size_t i = 0;
    if (s[i] == '+' || s[i] == '-') ++i;
    bool digits = false, dot = false;
    for (; i < s.size(); ++i) {
        if (std::isdigit(static_cast<unsigned char>(s[i]))) {
            digits = true;
        } else if (s[i] == '.' && !dot) {
            dot = true;
        } else {
            return false;
        }
    }
    if (!digits) return false;
    double v = std::strtod(s.c_str(), nullptr);
    double r = std::nearbyint(v);  // the default rounding mode: half to even
    if (r < static_cast<double>(std::numeric_limits<std::int32_t>::min()) ||
        r > static_cast<double>(std::numeric_limits<std::int32_t>::max()))
        return false;
    out = static_cast<std::int32_t>(r);
    return true;
}

std::string ReadKey(const platform::ProfileStore& profile, std::string_view key,
                    std::string_view def) {
    std::string gRetBuf;
    int n = profile.GetProfileStringA(kSection, key, def, gRetBuf, 255);
    return gRetBuf.substr(0, static_cast<std::size_t>(n < 0 ? 0 : n));
}

std::int16_t ArrayLoad(int startIndex, std::vector<std::string>& list, std::string text,
                       char delimiter, bool grow) {
    if (grow && startIndex % 10 == 0) list.assign(static_cast<std::size_t>(startIndex) + 11, "");
    if (text.empty()) return 0;
    if (text.back() != delimiter) text += delimiter;
    std::size_t pos = 0;  // 1-based position of the last delimiter, 0 at start
    int index = startIndex;
    for (;;) {
        if (grow && index % 10 == 0 && list.size() < static_cast<std::size_t>(index) + 11)
            list.resize(static_cast<std::size_t>(index) + 11);
        std::size_t found = text.find(delimiter, pos);  // search from position pos + 1
        if (found == std::string::npos) break;
        std::string entry = text.substr(pos, found - pos);
        if (index >= 0 && static_cast<std::size_t>(index) < list.size())
            list[static_cast<std::size_t>(index)] = entry;
        if (index >= std::numeric_limits<std::int16_t>::max()) break;  // 16-bit count
        ++index;
        pos = found + 1;
    }
    return static_cast<std::int16_t>(index);
}

void getfaxpierinfo(NodeConfig& c, const platform::ProfileStore& p) {
    auto raw = [&](std::string_view key, std::string_view def) { return ReadKey(p, key, def); };
    auto text = [&](std::string_view key, std::string_view def, std::string& into) {
        into = raw(key, def);
    };
    auto trimmed = [&](std::string_view key, std::string_view def, std::string& into) {
        into = TrimSpaces(raw(key, def));
    };
    auto flagLower = [&](std::string_view key, bool& into) {
        if (platform::Lower(raw(key, "")) == "y") into = true;
    };
    auto flagTrim = [&](std::string_view key, bool& into) {
        if (TrimSpaces(raw(key, "")) == "y") into = true;
    };

    // 1: seconds to milliseconds; an overflow or a non-number leaves the value,
    // and a zero interval falls back to 30 s.
    {
        std::int32_t v = 0;
        if (ToInt32(raw("wake_probe_seconds", "30"), v)) {
            std::int64_t ms = static_cast<std::int64_t>(v) * 1000;
            if (ms >= std::numeric_limits<std::int32_t>::min() &&
                ms <= std::numeric_limits<std::int32_t>::max())
                c.gWakeInterval = static_cast<std::int32_t>(ms);
        }
        if (c.gWakeInterval == 0) c.gWakeInterval = 30000;
    }
    {
        std::int32_t v = 0;
        if (ToInt32(raw("wake_probes", "1"), v)) c.gWakeProbes = v;
    }
    {
        std::int32_t v = 0;
        if (ToInt32(raw("general_timout", "1"), v) && v < std::numeric_limits<std::int32_t>::max())
            c.gTimoutMinutes = v + 1;
    }
    text("GSTN_Fax_Minutes", "5", c.gGSTNFaxMinutes);
    if (std::string v = raw("Use_Defaults", ""); !v.empty()) c.gMemberStatus = v;
    text("NIC_IP_Address", "", c.gNICIPAddress);
    text("path", "", c.gAppPath);
    text("print_exe", "vfprintu.exe", c.gPrintExe);
    text("VF_domain_name", kServiceMailDomain, c.gVFDomainName);
    text("VoxaFax_Profile", "Windows Messaging Settings", c.gVoxaFaxProfile);
    text("Local_Fax_Profile", "", c.gLocalFaxProfile);
    flagLower("Use_Profile", c.gflgUseProfile);
    text("comet_path", "", c.gCometPath);
    flagLower("Print_Full_Header", c.gflgPrintFullHeader);
    flagLower("Print_Simple_Header", c.gflgPrintSimpleHeader);
    flagLower("Print_Error_Info", c.gflgPrintErrorInfo);
    flagLower("Activate_Scheduler", c.gflgActivateScheduler);
    c.gPrintFileTypeCount = ArrayLoad(
        0, c.gPrintFileTypes,
        raw("Print_File_Types", "awd,pcx,dcx,jpg,jpeg,bmp,xif,xiff,tif,tiff,txt"), ',', true);
    trimmed("Printer_Type", "", c.gprinterName);
    trimmed("Area_Code", "", c.gAreaCode);
    trimmed("Country_Code", "", c.gCountryCode);
    trimmed("Fax_Number", "", c.gFaxNumber);
    trimmed("Voxa_Fax_Name", "", c.gVoxaFaxName);
    trimmed("Voxa_Fax_Addr", "", c.gVoxaFaxAddr);
    trimmed("Password", "", c.gPassword);
    trimmed("Normal_EMail_Addr", "", c.gNormalEMailAddr);
    trimmed("Start_Time", "0", c.gStartTime);
    trimmed("Stop_Time", "24", c.gStopTime);
    trimmed("Cycle_Minutes", "0", c.gCycleMinutes);
    flagTrim("Modem_Connect", c.gflgModemConnect);
    trimmed("DUN_Name", "", c.gDUNName);
    flagTrim("Get_Normal_EMail", c.gflgRegEmail);
    trimmed("Regular_Mail_Profile", "", c.gRegularMailProfile);
    flagTrim("Firewall", c.gflgFirewall);
    flagTrim("Always_Connect", c.gflgAlwaysConnect);
    flagTrim("Auto_Dis_Connect", c.gflgAutoDisConnect);
    trimmed("Public_IP_Addr", "", c.gPublicIPAddr);
    flagTrim("Fax_Ping", c.gflgFaxPing);
    flagTrim("Print_Page_Hdr", c.gflgPrintPageHdr);
    flagTrim("Print_Normal_Fax", c.gflgPrintNormalFax);
    trimmed("Normal_Fax_Profile", "", c.gNormalFaxProfile);
    flagTrim("Confirm_Receipt", c.gflgConfirmReceipt);
    flagTrim("Save_MDNs", c.gflgSaveMDNs);
    trimmed("Save_Pass", "", c.gSavePass);
    trimmed("User_SMTP_Server", "", c.gUserSMTPServer);
    trimmed("SMTP_Server2", "", c.gSMTPServer2);
    trimmed("Last_Resort_SMTP_Server", kServiceLastResortSmtp, c.gLastResortSMTPServer);
    text("VF_IP_Address", "", c.gVFIPAddress);
    text("VF_SMTP_Server", kServiceMailDomain, c.gVFSMTPSrvrName);
    trimmed("Default_SMTP_Servers", "", c.gDefaultSMTPServers);
    trimmed("Account_Date_Stamp", "", c.gACDateStamp);
    trimmed("Profile_Last_Change", "", c.gUserProfileStamp);
    ArrayLoad(1, c.gForward2, TrimSpaces(raw("forward2", "")), ',', false);
    ArrayLoad(1, c.gForward1, TrimSpaces(raw("forward1", "")), ',', false);
}

}  // namespace config
