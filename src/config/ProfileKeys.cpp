#include "config/ProfileKeys.h"

#include "platform/Text.h"

namespace config {
namespace {

using C = NodeConfig;
using K = KeyRead;

// Helpers that keep each row on one line.
constexpr ProfileKey Text(const char* n, std::string C::*m, const char* def = "") {
    return {n, K::Text, def, m};
}
constexpr ProfileKey Trimmed(const char* n, std::string C::*m, const char* def = "") {
    return {n, K::Trimmed, def, m};
}
constexpr ProfileKey Flag(const char* n, K how, bool C::*m) {
    return {n, how, "", nullptr, m};
}
constexpr ProfileKey Number(const char* n, K how, const char* def, std::int32_t C::*m) {
    return {n, how, def, nullptr, nullptr, m};
}
constexpr ProfileKey List(const char* n, K how, const char* def, std::vector<std::string> C::*m) {
    return {n, how, def, nullptr, nullptr, nullptr, m};
}

constexpr std::size_t kNodeKeyCount = 54;

constexpr ProfileKey kKeys[] = {
    Number("wake_probe_seconds", K::Seconds, "30", &C::gWakeInterval),
    Number("wake_probes", K::Number, "1", &C::gWakeProbes),
    Number("general_timout", K::NumberUp, "1", &C::gTimoutMinutes),
    Text("GSTN_Fax_Minutes", &C::gGSTNFaxMinutes, "5"),
    {"Use_Defaults", K::TextIfSet, "", &C::gMemberStatus},
    Text("NIC_IP_Address", &C::gNICIPAddress),
    Text("path", &C::gAppPath),
    Text("print_exe", &C::gPrintExe, "vfprintu.exe"),
    Text("VF_domain_name", &C::gVFDomainName, kServiceMailDomain),
    Text("VoxaFax_Profile", &C::gVoxaFaxProfile, "Windows Messaging Settings"),
    Text("Local_Fax_Profile", &C::gLocalFaxProfile),
    Flag("Use_Profile", K::FlagLower, &C::gflgUseProfile),
    Text("comet_path", &C::gCometPath),
    Flag("Print_Full_Header", K::FlagLower, &C::gflgPrintFullHeader),
    Flag("Print_Simple_Header", K::FlagLower, &C::gflgPrintSimpleHeader),
    Flag("Print_Error_Info", K::FlagLower, &C::gflgPrintErrorInfo),
    Flag("Activate_Scheduler", K::FlagLower, &C::gflgActivateScheduler),
    List("Print_File_Types", K::FileTypes, "awd,pcx,dcx,jpg,jpeg,bmp,xif,xiff,tif,tiff,txt",
         &C::gPrintFileTypes),
    Trimmed("Printer_Type", &C::gprinterName),
    Trimmed("Area_Code", &C::gAreaCode),
    Trimmed("Country_Code", &C::gCountryCode),
    Trimmed("Fax_Number", &C::gFaxNumber),
    Trimmed("Voxa_Fax_Name", &C::gVoxaFaxName),
    Trimmed("Voxa_Fax_Addr", &C::gVoxaFaxAddr),
    Trimmed("Password", &C::gPassword),
    Trimmed("Normal_EMail_Addr", &C::gNormalEMailAddr),
    Trimmed("Start_Time", &C::gStartTime, "0"),
    Trimmed("Stop_Time", &C::gStopTime, "24"),
    Trimmed("Cycle_Minutes", &C::gCycleMinutes, "0"),
    Flag("Modem_Connect", K::FlagTrim, &C::gflgModemConnect),
    Trimmed("DUN_Name", &C::gDUNName),
    Flag("Get_Normal_EMail", K::FlagTrim, &C::gflgRegEmail),
    Trimmed("Regular_Mail_Profile", &C::gRegularMailProfile),
    Flag("Firewall", K::FlagTrim, &C::gflgFirewall),
    Flag("Always_Connect", K::FlagTrim, &C::gflgAlwaysConnect),
    Flag("Auto_Dis_Connect", K::FlagTrim, &C::gflgAutoDisConnect),
    Trimmed("Public_IP_Addr", &C::gPublicIPAddr),
    Flag("Fax_Ping", K::FlagTrim, &C::gflgFaxPing),
    Flag("Print_Page_Hdr", K::FlagTrim, &C::gflgPrintPageHdr),
    Flag("Print_Normal_Fax", K::FlagTrim, &C::gflgPrintNormalFax),
    Trimmed("Normal_Fax_Profile", &C::gNormalFaxProfile),
    Flag("Confirm_Receipt", K::FlagTrim, &C::gflgConfirmReceipt),
    Flag("Save_MDNs", K::FlagTrim, &C::gflgSaveMDNs),
    Trimmed("Save_Pass", &C::gSavePass),
    Trimmed("User_SMTP_Server", &C::gUserSMTPServer),
    Trimmed("SMTP_Server2", &C::gSMTPServer2),
    Trimmed("Last_Resort_SMTP_Server", &C::gLastResortSMTPServer, kServiceLastResortSmtp),
    Text("VF_IP_Address", &C::gVFIPAddress),
    Text("VF_SMTP_Server", &C::gVFSMTPSrvrName, kServiceMailDomain),
    Trimmed("Default_SMTP_Servers", &C::gDefaultSMTPServers),
    Trimmed("Account_Date_Stamp", &C::gACDateStamp),
    Trimmed("Profile_Last_Change", &C::gUserProfileStamp),
    List("forward2", K::Forward, "", &C::gForward2),
    List("forward1", K::Forward, "", &C::gForward1),
    // Read at other moments of a run.
    {"chrs_per_line", K::Number, "110"},
    {"lines_per_page", K::Number, "80"},
    {"font_size", K::Number, "10"},
    {"print_test", K::Text},
    {"log", K::Text},
    // Written by voxafax-print.
    {"last_error", K::Status},
    {"VFPrint", K::Status},
    {"print_status", K::Status},
    {"printing", K::Status},
    {"session", K::Status},
    {"totals", K::Status},
    {"test_server", K::Status},
};

}  // namespace

std::span<const ProfileKey> ProfileKeys() {
    return kKeys;
}

std::span<const ProfileKey> NodeKeys() {
    return ProfileKeys().first(kNodeKeyCount);
}

const ProfileKey* FindProfileKey(std::string_view name) {
    for (const ProfileKey& k : kKeys)
        if (platform::EqualsNoCase(k.name, name)) return &k;
    return nullptr;
}

std::string ReadProfileKey(const platform::ProfileStore& profile, std::string_view name) {
    const ProfileKey* k = FindProfileKey(name);
    return ReadKey(profile, name, k ? k->def : "");
}

}  // namespace config
