#include <gtest/gtest.h>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "platform/Profile.h"
#include "tests/support/TempDir.h"

using config::NodeConfig;
using testsupport::TempDir;
using testsupport::WriteFile;

namespace {
NodeConfig Load(const std::string& section) {
    TempDir d;
    WriteFile(d / "v.ini", "[VOXA-FAX]\n" + section);
    platform::ProfileStore p(d / "v.ini");
    NodeConfig c;
    config::getfaxpierinfo(c, p);
    return c;
}
}  // namespace

TEST(NodeConfig, DefaultsWhenEverythingIsAbsent) {
    NodeConfig c = Load("");
    EXPECT_EQ(c.gWakeInterval, 30000);
    EXPECT_EQ(c.gWakeProbes, 1);
    EXPECT_EQ(c.gTimoutMinutes, 2);
    EXPECT_EQ(c.gVoxaFaxProfile, "Windows Messaging Settings");
    EXPECT_EQ(c.gVFSMTPSrvrName, "voxafax.example");
    EXPECT_EQ(c.gLastResortSMTPServer, "smtp.voxafax.example");
    ASSERT_EQ(c.gPrintFileTypeCount, 11);
    EXPECT_EQ(c.gPrintFileTypes[0], "awd");
    EXPECT_EQ(c.gPrintFileTypes[10], "txt");
    EXPECT_EQ(c.gMemberStatus, "");
    EXPECT_FALSE(c.gflgConfirmReceipt);
}

TEST(NodeConfig, EmptyValueIsNotTheDefault) {
    NodeConfig c = Load("Print_File_Types=\nwake_probes=\nUse_Defaults=\nVoxaFax_Profile=\n");
    EXPECT_EQ(c.gPrintFileTypeCount, 0);
    EXPECT_EQ(c.gWakeProbes, 0);  // a failed conversion keeps the value it had
    EXPECT_EQ(c.gMemberStatus, "");
    EXPECT_EQ(c.gVoxaFaxProfile, "");
}

TEST(NodeConfig, FlagLowerTakesUpperCaseYButFlagTrimDoesNot) {
    NodeConfig upper = Load("Use_Profile=Y\nConfirm_Receipt=Y\nPrint_Full_Header= y\n");
    EXPECT_TRUE(upper.gflgUseProfile);
    EXPECT_FALSE(upper.gflgConfirmReceipt);
    EXPECT_TRUE(upper.gflgPrintFullHeader);  // the store drops the blank before "y"
    NodeConfig lower = Load("Confirm_Receipt=  y  \nSave_MDNs=yes\n");
    EXPECT_TRUE(lower.gflgConfirmReceipt);
    EXPECT_FALSE(lower.gflgSaveMDNs);
}

TEST(NodeConfig, WakeIntervalFallsBackTo30SecondsOnZeroTextOrOverflow) {
    EXPECT_EQ(Load("wake_probe_seconds=0\n").gWakeInterval, 30000);
    EXPECT_EQ(Load("wake_probe_seconds=soon\n").gWakeInterval, 30000);
    EXPECT_EQ(Load("wake_probe_seconds=45\n").gWakeInterval, 45000);
    EXPECT_EQ(Load("wake_probe_seconds=2147483\n").gWakeInterval, 2147483000);
    EXPECT_EQ(Load("wake_probe_seconds=2147484\n").gWakeInterval, 30000);
    EXPECT_EQ(Load("wake_probe_seconds= 2.5 \n").gWakeInterval, 2000);  // half to even
}

TEST(NodeConfig, GeneralTimeoutAddsOneOrStaysZeroWhenNotANumber) {
    EXPECT_EQ(Load("general_timout=2\n").gTimoutMinutes, 3);
    EXPECT_EQ(Load("general_timout=x\n").gTimoutMinutes, 0);
    EXPECT_EQ(Load("general_timout=3.5\n").gTimoutMinutes, 5);
}

TEST(NodeConfig, PrintFileTypesKeepBlanksAndEmptyItems) {
    NodeConfig c = Load("Print_File_Types=tif, tiff,,txt\n");
    ASSERT_EQ(c.gPrintFileTypeCount, 4);
    EXPECT_EQ(c.gPrintFileTypes[0], "tif");
    EXPECT_EQ(c.gPrintFileTypes[1], " tiff");
    EXPECT_EQ(c.gPrintFileTypes[2], "");
    EXPECT_EQ(c.gPrintFileTypes[3], "txt");

    std::string many;  // longer than the list's first allocation
    for (int i = 0; i < 25; ++i) many += "t" + std::to_string(i) + ",";
    c = Load("Print_File_Types=" + many + "\n");
    ASSERT_EQ(c.gPrintFileTypeCount, 25);
    EXPECT_EQ(c.gPrintFileTypes[24], "t24");
}

TEST(NodeConfig, ValuesAreCutAt254AndTrimmedWhereTheKeySaysSo) {
    NodeConfig c = Load("Voxa_Fax_Name=" + std::string(300, 'n') +
                        "\nPrinter_Type=  Fax PDF  \nUse_Defaults=1\n");
    EXPECT_EQ(c.gVoxaFaxName.size(), 254u);
    EXPECT_EQ(c.gprinterName, "Fax PDF");
    EXPECT_EQ(c.gMemberStatus, "1");
}

// last_error holds one line of at most 200 characters: a longer text keeps
// what failed (its beginning) and why (its end), never more.
TEST(LastError, OneLineOfAtMost200KeepingWhatFailedAndWhy) {
    config::RunGlobals run;
    for (std::size_t n : {200u, 201u, 250u, 5000u}) {
        run.gLastError = "Storage Error : cannot store\r\n" + std::string(n - 35, 'x') + " full";
        ASSERT_EQ(run.gLastError.size(), n);
        const std::string v = config::LastErrorValue(run);
        EXPECT_EQ(v.size(), 200u) << n;
        EXPECT_EQ(v.find_first_of("\r\n"), std::string::npos);
        EXPECT_EQ(v.rfind("Storage Error : cannot store", 0), 0u);
        EXPECT_EQ(v.substr(v.size() - 5), " full");
    }
}
