// Receipts and the test message, byte for byte, and the Out/ queue file.
#include <gtest/gtest.h>

#include <filesystem>

#include "config/NodeConfig.h"
#include "config/RunGlobals.h"
#include "mailout/Compose.h"
#include "mailout/Mailer.h"
#include "mailout/SafeText.h"
#include "tests/support/TempDir.h"

namespace mailtest {
namespace {

const mailout::LocalStamp kNow{"12/05/2026", "08:03:09 PM", "20261205200309",
                               "Sat, 5 Dec 2026 20:03:09 +0000"};
const std::string B = ">>>>A_PERFECTLY_VOXA-FAX<<courtesy>>WWW.VOXAFAX.EXAMPLE<<<<";

class Compose : public ::testing::Test {
  protected:
    Compose() {
        run.Init("/nonexistent");
        cfg.gVoxaFaxAddr = "fax1@voxafax.example";
        in.gSubject = "Invoice 7";
        in.gOriginalMsgID = "<abc@sender.test>";
        in.gPOPSentDateTime = "Fri, 4 Dec 2026 10:00:00 +0100";
        in.FullMsgHdr = "From: s@sender.test\r\nSubject: Invoice 7";
        in.gFileReport = "fax.tif - printed";
        in.gPageCount = " 3";
        in.gDispositionType = "Processed";
    }
    std::string Mdn() { return mailout::ComposeMDNText(in, "s@sender.test", cfg, run, kNow); }

    config::NodeConfig cfg;
    config::RunGlobals run;
    mailout::ReceiptInputs in;
};

const std::string kHead =
    "To:s@sender.test\r\n"
    "From:fax1@voxafax.example\r\n"
    "Date:12/05/2026 08:03:09 PM\r\n"
    "X-VF-PageCount: 3\r\n"
    "X-VF-Original-Id: \r\n"
    "Message-Id: MDN.20261205200309.fax1@voxafax.example\r\n";

// The header up to the first part's text, with `subject`.
std::string ReportHead(const std::string& subject) {
    return kHead + "Subject: " + subject +
           "\r\nMIME-Version: 1.0\r\n"
           "Content-Type: multipart/report; report-type=disposition-notification;\r\n"
           "     boundary = \"" +
           B + "\"\r\n\r\n--" + B + "\r\n\r\n";
}

const std::string kDispositionHead =
    "content-type: message/disposition-notification\r\n"
    "\r\n"
    "Reporting-UA: fax1@voxafax.example; VOXA-FAX Print Utility 0.8.2\r\n"
    "Original-Recipient: rfc822;fax1@voxafax.example\r\n"
    "Final-Recipient: rfc822;fax1@voxafax.example\r\n"
    "Original-Message-ID: <abc@sender.test>\r\n";

const std::string kThirdPart = "--" + B +
                               "\r\n"
                               "content-type: message/rfc822\r\n"
                               "\r\n"
                               "From: s@sender.test\r\nSubject: Invoice 7\r\n"
                               "fax.tif - printed\r\n"
                               "\r\n--" +
                               B + "--\r\n\r\n.\r\n";

TEST_F(Compose, ProcessedReceiptHasThreePartsAndAcceptFeatures) {
    const std::string want =
        ReportHead("RE: Invoice 7 : VOXA-FAX confirmation.") +
        "The VOXA-FAX sent on Fri, 4 Dec 2026 10:00:00 +0100 to fax1@voxafax.example with the "
        "subject \"Invoice 7\" has been processed.\r\n"
        "This is not a guarantee that the message has been read or understood.\r\n"
        "For more information WWW.VOXAFAX.EXAMPLE.\r\n"
        "\r\n--" +
        B + "\r\n" + kDispositionHead +
        "Disposition: automatic-action/MDN-sent-automatically; Processed\r\n"
        "Accept-Features: ua-media=stationary;paper-size=letter;grey=2;dpi-x=300;dpi-y=300\r\n"
        "\r\n" +
        kThirdPart;
    EXPECT_EQ(Mdn(), want);
}

TEST_F(Compose, FailedInFullModeCarriesResultCodes) {
    in.gfglFullMode = true;
    in.gDispositionType = "Failed";
    in.gFailureText = "Unprintable File(s)";
    in.gProcessReport = "Process report - \r\nfax.doc - not printable";
    const std::string body =
        "The VOXA-FAX sent on Fri, 4 Dec 2026 10:00:00 +0100 to fax1@voxafax.example with the "
        "subject \"Invoice 7\" could not be processed.\r\n"
        "Process report - \r\nfax.doc - not printable\r\n"
        "\r\n--" +
        B + "\r\n" + kDispositionHead +
        "Disposition: automatic-action/MDN-sent-automatically; \r\n"
        "                Failed / G3Fax-report-request\r\n";
    const std::string frames =
        "G3Fax-Report:G3Fax-Results=02;G3Fax-t30frame:G3Fax-frame=40,373635342033323332203330;\r\n"
        "               G3Fax-frame=80,004372\r\n";
    std::string got = Mdn();
    EXPECT_NE(got.find(body + frames + kThirdPart), std::string::npos) << got;
    EXPECT_EQ(got.find("Failure: "), std::string::npos);

    in.gFailureText = "System Error";
    got = Mdn();
    EXPECT_NE(got.find(body + "G3Fax-Report:G3Fax-Results=01\r\n" + kThirdPart), std::string::npos)
        << got;

    // Not full mode: the failure reason is a field of its own.
    in.gfglFullMode = false;
    got = Mdn();
    EXPECT_NE(got.find("Disposition: automatic-action/MDN-sent-automatically; Failed\r\n"
                       "Failure: System Error\r\n"
                       "Accept-Features: "),
              std::string::npos);

    in.gfglFullMode = true;
    in.gDispositionType = "Processed";
    EXPECT_NE(Mdn().find("                Processed / G3Fax-report-request\r\n"
                         "G3Fax-Report:G3Fax-Results=00;G3Fax-Pages=3\r\n\r\n--"),
              std::string::npos);
}

TEST_F(Compose, CapabilityRequestInFullModeHasTwoParts) {
    in.gfglFullMode = true;
    in.gDispositionType = "CapsRequest";
    const std::string want =
        ReportHead("RE: Invoice 7") +
        "The VOXA-FAX sent on Fri, 4 Dec 2026 10:00:00 +0100 to fax1@voxafax.example with the "
        "subject \"Invoice 7\" has been processed in Internet FAX Full Mode.\r\n"
        "\r\n--" +
        B + "\r\n" + kDispositionHead +
        "Disposition: automatic-action/MDN-sent-automatically;\r\n"
        "        processed / G3Fax-capability-request\r\n"
        "G3Fax-t30frame:G3Fax-frame=40,373635342033323332203330;\r\n"
        "        G3Fax-frame=80,004372\r\n"
        "\r\n--" +
        B + "--\r\n\r\n.\r\n";
    EXPECT_EQ(Mdn(), want);
}

TEST_F(Compose, FaxToKeepsTopTypeAndEmptyPageCountStaysEmpty) {
    in.gFaxToAddr = "+15551234";
    in.gPageCount = "";
    const std::string got = Mdn();
    EXPECT_NE(got.find("MIME-Version: 1.0\r\nContent-Type: message/fax\r\n     boundary = \""),
              std::string::npos);
    EXPECT_NE(got.find("\r\nX-VF-PageCount:\r\nX-VF-Original-Id: \r\n"), std::string::npos);
    EXPECT_NE(got.find("\r\n--" + B + "\r\ncontent-type: message/rfc822\r\n"), std::string::npos);
}

using ComposeTestMessage = Compose;

TEST_F(ComposeTestMessage, IsTheWelcomeBetweenTwoBanners) {
    const std::string banner =
        ">>>-------This PERFECTLY VOXA-FAX is printed with VOXA-FAX Print from "
        "WWW.VOXAFAX.EXAMPLE----------<<<\r\n\r\n";
    std::string seven;
    for (int i = 0; i < 7; ++i) seven += "\r\n";
    const std::string want =
        "To: <fax1@voxafax.example>\r\n"
        "Message-Id: <VFTEST.20261205200309.fax1@voxafax.example>\r\n"
        "Date: 12/05/2026 08:03:09 PM\r\n"
        "Subject: Test VOXA-FAX\r\n\r\n" +
        banner + seven + "             WELCOME TO THE WONDERFULL WORLD OF VOXA-FAX" + seven +
        banner + "\r\n\r\n.\r\n";
    EXPECT_EQ(mailout::ComposeTestMessageText("fax1@voxafax.example", cfg, run, kNow), want);

    // The standards form: a From: field and the internet message format's
    // date; the rest as always.
    const std::string standard =
        mailout::ComposeTestMessageText("fax1@voxafax.example", cfg, run, kNow, true);
    EXPECT_EQ(standard.rfind("From: <fax1@voxafax.example>\r\nTo: <fax1@voxafax.example>\r\n"
                             "Message-Id: <VFTEST.20261205200309.fax1@voxafax.example>\r\n"
                             "Date: Sat, 5 Dec 2026 20:03:09 +0000\r\n",
                             0),
              0u);
    EXPECT_TRUE(standard.ends_with(banner + "\r\n\r\n.\r\n"));
}

TEST_F(Compose, StandardsFormBracketsTheMessageIdAndDatesTheInternetWay) {
    const std::string plain = Mdn();
    const std::string standard = mailout::ComposeMDNText(in, "s@sender.test", cfg, run, kNow, true);
    EXPECT_NE(standard.find("\r\nDate: Sat, 5 Dec 2026 20:03:09 +0000\r\n"), std::string::npos);
    EXPECT_NE(standard.find("\r\nMessage-Id: <MDN.20261205200309.fax1@voxafax.example>\r\n"),
              std::string::npos);
    // Nothing else differs.
    const std::size_t body = plain.find("\r\nSubject:");
    EXPECT_EQ(standard.substr(standard.find("\r\nSubject:")), plain.substr(body));
}

// A subject that would add a header, and a text far over what is quoted.
using ComposeBounds = Compose;

TEST_F(ComposeBounds, AnEightMegabyteTextIsQuotedAsSixtyFourKilobytes) {
    in.gSubject = "Urgent\nBcc: victim@x.test";
    in.gDispositionType = "Failed";
    in.gFailureText = "Unprintable File(s)";
    in.FullMsgHdr = std::string(8 * 1024 * 1024, 'A');
    const std::string mdn = Mdn();
    EXPECT_LT(mdn.size(), mailout::kQuoteLimit + 4096);
    EXPECT_NE(mdn.find("\r\nSubject: RE: Urgent Bcc: victim@x.test : VOXA-FAX confirmation.\r\n"),
              std::string::npos);
    EXPECT_EQ(mdn.find("\nBcc:"), std::string::npos);
}

TEST(ComposeStamp, UsesLocalTimeWithTwelveHourClock) {
    setenv("TZ", "UTC", 1);
    tzset();
    const auto s = mailout::StampAt(1796500989);  // 2026-12-05 20:03:09 UTC
    EXPECT_EQ(s.date, "12/05/2026");
    EXPECT_EQ(s.time, "08:03:09 PM");
    EXPECT_EQ(s.stamp, "20261205200309");
    EXPECT_EQ(s.rfc, "Sat, 5 Dec 2026 20:03:09 +0000");
    EXPECT_EQ(mailout::StampAt(1796428800).time, "12:00:00 AM");  // midnight
}

TEST(QueueFile, KeepsAnUnsentReceiptOfTheSameSecond) {
    testsupport::TempDir dir;
    const std::string out = dir.path() + "/";
    EXPECT_EQ(mailout::QueueReceiptFile(out, "20261205200309", "first"), "20261205200309.MDN");
    EXPECT_EQ(mailout::QueueReceiptFile(out, "20261205200309", "second"), "20261205200309_2.MDN");
    EXPECT_EQ(testsupport::ReadFile(out + "20261205200309.MDN"), "first");
    EXPECT_EQ(testsupport::ReadFile(out + "20261205200309_2.MDN"), "second");
    // No stray temporary files are left behind.
    int n = 0;
    for (const auto& e : std::filesystem::directory_iterator(dir.path())) n += !e.path().empty();
    EXPECT_EQ(n, 2);
    EXPECT_EQ(std::filesystem::status(out + "20261205200309.MDN").permissions() &
                  std::filesystem::perms::all,
              std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
    EXPECT_EQ(mailout::QueueReceiptFile(dir.path() + "/missing/", "1", "x"), "");
}

}  // namespace
}  // namespace mailtest
