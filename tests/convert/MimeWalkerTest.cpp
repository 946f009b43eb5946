#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>

#include <cerrno>
#include <cstring>
#include <filesystem>

#include "convert/Converter.h"
#include "convert/MailDate.h"
#include "convert/MimeWalker.h"
#include "linux/maildir/MaildirStore.h"
#include "platform/Text.h"
#include "tests/support/ConvertContext.h"

namespace {

using testsupport::ConvertContext;
using testsupport::ReadFile;
using testsupport::RunOptions;
using testsupport::WriteFile;

const char* kTiff = "II*\0\x08\0\0\0binary\r\n\xff\xfe fax page";
const std::string kTiffBytes(kTiff, 27);
const std::string kTiffB64 = "SUkqAAgAAABiaW5hcnkNCv/+IGZheCBwYWdl";

// The conversion into the context's store and inbox.
convert::Conversion Conv(ConvertContext& t) {
    return {t.ctx.store, t.inbox, t.loop, t.log, t.run, t.cfg.gVoxaFaxAddr};
}

std::string Lines(std::initializer_list<std::string> lines) {
    std::string s;
    for (const auto& l : lines) s += l + "\r\n";
    return s;
}

// What one conversion left in the store, in a form that compares whole.
struct Converted {
    std::string text, subject, sender, recipient;
    std::vector<std::string> names, sources, contents;
    std::int64_t sent = 0;
    bool operator==(const Converted&) const = default;
};

std::ostream& operator<<(std::ostream& os, const Converted& c) {
    os << "text=[" << c.text << "] subject=[" << c.subject << "] names=";
    for (auto& n : c.names) os << "[" << n << "]";
    return os;
}

Converted Convert(const std::string& message, const convert::WalkerLimits& limits = {}) {
    ConvertContext t;
    const std::string path = t.InFile("1.TXT");
    WriteFile(path, message);
    convert::ProcessMessageWith(Conv(t), path, limits);
    Converted c;
    if (t.Inbox().messages.size() != 1) {
        ADD_FAILURE() << "messages in the inbox: " << t.Inbox().messages.size();
        return c;
    }
    const auto& m = *t.Inbox().messages[0];
    c.text = m.text;
    c.subject = m.subject;
    c.sender = m.senderName;
    c.sent = m.timeSentSet.value_or(1);
    if (!m.recipients.empty()) c.recipient = m.recipients[0].address;
    for (const auto& a : m.attachments) {
        c.names.push_back(a.name);
        EXPECT_EQ(a.source.rfind(t.run.gTempDir, 0), 0u) << a.source;
        c.sources.push_back(a.source.substr(t.run.gTempDir.size()));
        c.contents.push_back(a.content);
    }
    return c;
}

// The same message read through buffers and line pieces of many sizes must
// give the same conversion: no CR LF pair or boundary may fall between reads.
// Buffers about a base64 line long (76 letters and CR LF) cut the runs of
// lines that are taken whole at every place.
Converted ConvertEverySplit(const std::string& message) {
    Converted whole = Convert(message);
    for (std::size_t buffer : {1u, 2u, 3u, 7u, 64u, 78u, 79u, 80u, 157u, 4096u}) {
        convert::WalkerLimits l;
        l.readBuffer = buffer;
        EXPECT_EQ(Convert(message, l), whole) << "read buffer " << buffer;
    }
    return whole;
}

std::string Header(const std::string& contentType, const std::string& extra = "") {
    return Lines({"+OK 1234 octets", "From: Fax Sender <sender@example.test>", "Subject: Fax 42",
                  "Date: Tue, 1 Jun 2021 10:20:30 +0200", "Content-Type: " + contentType}) +
           extra + "\r\n";
}

TEST(MimeWalker, TextPartThenBase64TiffGivesTextAndOneDecodedAttachment) {
    const std::string header = Header("multipart/mixed; boundary=\"XYZ\"");
    const std::string msg =
        header + Lines({"This is a multi-part message.", "--XYZ",
                        "Content-Type: text/plain; charset=us-ascii", "", "Hello,",
                        "a fax for you.", "--XYZ", "Content-Type: image/tiff; name=\"fax.tif\"",
                        "Content-Transfer-Encoding: base64", "", kTiffB64.substr(0, 20),
                        kTiffB64.substr(20), "--XYZ--", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.text, " " + header + "\r\n\r\nHello,\r\na fax for you.\r\n");
    EXPECT_EQ(c.names, std::vector<std::string>{"fax.tif;"});
    EXPECT_EQ(c.sources, std::vector<std::string>{"fax.tif"});
    EXPECT_EQ(c.contents, std::vector<std::string>{kTiffBytes});
    EXPECT_EQ(c.subject, "Fax 42 From: Sender <sender@example.test>");
    EXPECT_EQ(c.sender, "Sender <sender@example.test>");
    EXPECT_EQ(c.recipient, "SMTP:fax1@voxafax.example");
    EXPECT_EQ(c.sent, 1622535630);
}

TEST(MimeWalker, FindsABoundaryOnAFoldedLineAnywhereInTheHeader) {
    const std::string msg =
        Lines({"+OK 1 octets", "From: a@b.test", "Content-Type: multipart/mixed;",
               "\tBoundary=\"b1\"", ""}) +
        Lines({"--b1", "Content-Type: image/tiff; name=p.tif", "Content-Transfer-Encoding: base64",
               "", kTiffB64, "--b1--", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.names, std::vector<std::string>{"p.tif;"});
    EXPECT_EQ(c.contents, std::vector<std::string>{kTiffBytes});
    EXPECT_EQ(c.text, "");
}

TEST(MimeWalker, AQuotedBoundaryFollowedByAParameterFindsNoPart) {
    const std::string msg =
        Header("multipart/mixed; boundary=\"XYZ\"; type=x") +
        Lines({"--XYZ", "Content-Type: text/plain", "", "text", "--XYZ--", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.text, "");
    EXPECT_TRUE(c.names.empty());
    EXPECT_EQ(c.recipient, "SMTP:fax1@voxafax.example");
}

TEST(MimeWalker, PartsBecomeAttachmentsInOrderAndKeepTheirOwnContent) {
    const std::string msg = Header("multipart/mixed; boundary=sep") +
                            Lines({"--sep",
                                   "Content-Type: text/plain; name=notes.txt",
                                   "",
                                   "note line",
                                   "--sep",
                                   "Content-Type: image/tiff",
                                   "Content-Transfer-Encoding: base64",
                                   "",
                                   kTiffB64,
                                   "--sep",
                                   "Content-Type: image/jpeg",
                                   "",
                                   "anBlZw==",
                                   "--sep",
                                   "Content-Type: application/octet-stream",
                                   "Content-Disposition: attachment; filename=\"same.bin\"",
                                   "Content-Transfer-Encoding: Base64",
                                   "",
                                   "Zmlyc3Q=",
                                   "--sep",
                                   "Content-Type: application/octet-stream; name=same.bin",
                                   "Content-Transfer-Encoding: base64",
                                   "",
                                   "c2Vjb25k",
                                   "--sep--",
                                   "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.names, (std::vector<std::string>{"notes.txt;", "UNKNOWN.TIF;", "UNKNOWN.JPE;",
                                                 "same.bin;", "same.bin;"}));
    EXPECT_EQ(c.contents,
              (std::vector<std::string>{"note line\r\n", kTiffBytes, "jpeg", "first", "second"}));
    // The jpeg part has no encoding line of its own: it keeps the base64 of
    // the part before it.
    EXPECT_EQ(c.sources[0], "temp.txt");  // no encoding: the body file itself
    EXPECT_EQ(c.text, "");
}

TEST(MimeWalker, SevenBitAttachmentKeepsItsLinesAndLineEnds) {
    const std::string msg =
        Header("multipart/mixed; boundary=q") +
        Lines({"--q", "Content-Type: text/csv; name=a.csv", "Content-Transfer-Encoding: 7bit", "",
               "a,b", "", "c,d\n e", "--q--", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.contents, std::vector<std::string>{"a,b\r\n\r\nc,d\n e\r\n"});
}

TEST(MimeWalker, QuotedPrintableAndHtmlAlternativeParts) {
    const std::string msg =
        Header("multipart/alternative; boundary=alt") +
        Lines({"--alt", "Content-Type: text/html", "", "<p>hi</p>", "--alt",
               "Content-Type: text/plain", "Content-Transfer-Encoding: quoted-printable", "",
               "plain=20hi", "--alt--", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.names, std::vector<std::string>{"UNKNOWN.TXT;"});
    EXPECT_EQ(c.contents, std::vector<std::string>{"<p>hi</p>\r\n"});
    // The text part is not decoded: the message text keeps it as received.
    EXPECT_TRUE(c.text.ends_with("\r\n\r\nplain=20hi\r\n")) << c.text;
}

TEST(MimeWalker, SinglePartTextBecomesTheMessageText) {
    const std::string msg = Header("application/octet-stream") + Lines({"body", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.text, msg + "\r\n\r\n");
    EXPECT_TRUE(c.names.empty());
}

TEST(MimeWalker, ALargeSinglePartTextBecomesAnAttachment) {
    std::string head = Header("text/plain; charset=us-ascii");
    std::string body;
    while (head.size() + body.size() + 3 < 30001) body += "0123456789 abcdefghij\r\n";
    std::string msg = head + body;
    msg.resize(30001 - 3, 'x');
    msg += "\r\n.\r\n";
    ASSERT_EQ(msg.size(), 30001u + 2);
    Converted c = Convert(msg);
    EXPECT_EQ(c.names, std::vector<std::string>{"UNKNOWN.TXT;"});
    EXPECT_EQ(c.contents[0], msg.substr(head.size(), msg.size() - head.size() - 3));
    EXPECT_EQ(c.text, "");

    msg = head + Lines({"short", "."});
    EXPECT_EQ(Convert(msg).text, msg + "\r\n\r\n");
}

TEST(MimeWalker, MissingBoundaryIsNotedInTheMessageText) {
    const std::string header = Header("multipart/mixed; charset=x");
    const std::string msg = header + Lines({"used up by the decision", "first", "second", "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.names, std::vector<std::string>{"UNKNOWN.TXT;"});
    EXPECT_EQ(c.contents, std::vector<std::string>{"first\r\nsecond\r\n"});
    EXPECT_EQ(c.text, header +
                          "X-VF-Error: MISSING BOUNDARY\r\n\r\n\r\n"
                          "The incoming VOXA-FAX may have been corrupted.");

    // An octet-stream message without a transfer encoding takes the same road.
    const std::string octet = Header("application/octet-stream; name=x.tif");
    c = Convert(octet + Lines({"skipped", "data", "."}));
    EXPECT_EQ(c.names, std::vector<std::string>{"UNKNOWN.TXT;"});
    EXPECT_TRUE(c.text.find("X-VF-Error: MISSING BOUNDARY\r\n") != std::string::npos);
}

TEST(MimeWalker, SinglePartOctetStreamWithEncodingIsOneAttachment) {
    const std::string msg = Header("application/octet-stream; name=\"fax.tif\"",
                                   "Content-Transfer-Encoding: base64\r\n"
                                   "Content-Disposition: attachment; filename=\"page1.tif\"\r\n") +
                            Lines({kTiffB64, "."});
    Converted c = ConvertEverySplit(msg);
    EXPECT_EQ(c.names, std::vector<std::string>{"page1.tif;"});
    EXPECT_EQ(c.contents, std::vector<std::string>{kTiffBytes});
}

TEST(MimeWalker, SenderAndSubjectFromEachShapeOfHeader) {
    struct Case {
        std::string from, sender;
    } cases[] = {
        {"Sender <a@b.test>", "a@b.test"},
        {"John Smith <a@b.test>", "Smith <a@b.test>"},
        {"a@b.test", "a@b.test"},
        {"<a@b.test>", "a@b.test"},
        {"a@b.test (Fax Gateway)", "(Fax Gateway)"},
        {"", ""},
    };
    for (const Case& k : cases) {
        std::string msg = "+OK 1 octets\r\n";
        if (!k.from.empty()) msg += "From: " + k.from + "\r\n";
        msg += "Subject:no blank\r\n\r\nx\r\n.\r\n";
        Converted c = Convert(msg);
        EXPECT_EQ(c.sender, k.sender) << k.from;
        EXPECT_EQ(c.subject, "VOXA-FAX  From: " + k.sender) << k.from;
    }
}

TEST(MimeWalker, TextPartCutOffByTheEndOfTheFileIsKept) {
    const std::string header = Header("multipart/mixed; boundary=z");
    Converted c =
        ConvertEverySplit(header + Lines({"--z", "Content-Type: text/plain", "", "cut", "off"}));
    EXPECT_EQ(c.text, " " + header + "\r\n\r\ncut\r\noff\r\n");
    // An attachment cut off the same way is attached with what arrived.
    c = ConvertEverySplit(header + Lines({"--z", "Content-Type: image/tiff; name=a.tif",
                                          "Content-Transfer-Encoding: base64", "", kTiffB64}));
    EXPECT_EQ(c.contents, std::vector<std::string>{kTiffBytes});
}

// Whatever follows the closing boundary of a last text part is no part:
// neither its blank lines nor a name in it start a text or an attachment.
TEST(MimeWalker, AnEpilogueAfterTheLastPartIsIgnored) {
    const std::string header = Header("multipart/mixed; boundary=z");
    const std::string epilogue =
        Lines({"", "epilogue", "Content-Disposition: attachment; filename=e.txt", "", "more", "."});
    auto with = [&](std::initializer_list<std::string> lines) {
        return header + Lines(lines) + epilogue;
    };
    // After a text part.
    Converted c = ConvertEverySplit(
        with({"--z", "Content-Type: image/tiff; name=a.tif", "Content-Transfer-Encoding: base64",
              "", kTiffB64, "--z", "Content-Type: text/plain", "", "the text", "--z--"}));
    EXPECT_EQ(c.text, " " + header + "\r\n\r\nthe text\r\n");
    EXPECT_EQ(c.names, std::vector<std::string>{"a.tif;"});
    // After an attachment: neither a part of its own nor bytes of the image.
    Converted a =
        ConvertEverySplit(with({"--z", "Content-Type: text/plain", "", "the text", "--z",
                                "Content-Type: image/tiff; name=a.tif",
                                "Content-Transfer-Encoding: base64", "", kTiffB64, "--z--"}));
    EXPECT_EQ(a.names, std::vector<std::string>{"a.tif;"});
    ASSERT_EQ(a.contents.size(), 1u);
    EXPECT_EQ(a.contents[0], c.contents.at(0));
}

// Long base64 bodies, whose lines are taken a run at a time: each line is
// passed on as it came, whatever follows it (a boundary, a shorter or longer
// line, a stray byte, a bare LF, the end of the file).
TEST(MimeWalker, RunsOfBase64LinesKeepEveryByteWhateverEndsThem) {
    std::string data;
    for (int i = 0; i < 5000; ++i) data += static_cast<char>(i * 13 + i / 256);
    const std::string b64 = platform::Base64(data);
    std::string lines;  // 76 letters a line
    for (std::size_t at = 0; at < b64.size(); at += 76) lines += b64.substr(at, 76) + "\r\n";
    const std::string header = Header("multipart/mixed; boundary=R");
    const std::string part = Lines(
        {"--R", "Content-Type: image/tiff; name=r.tif", "Content-Transfer-Encoding: base64", ""});
    EXPECT_EQ(ConvertEverySplit(header + part + lines + "--R--\r\n").contents,
              std::vector<std::string>{data});
    // Cut off by the end of the file (whose last line is the download's end
    // marker), on a full line and on a short one: what came is kept.
    for (const std::size_t cut : {lines.size() / 78 / 2 * 78, lines.size()}) {
        const Converted c = ConvertEverySplit(header + part + lines.substr(0, cut));
        ASSERT_EQ(c.contents.size(), 1u);
        EXPECT_GT(c.contents[0].size(), cut / 78 * 57 - 60);
        EXPECT_EQ(c.contents[0], data.substr(0, c.contents[0].size()));
    }
    // Lines that are not taken in a run, between runs: every read of the
    // message must store what the line-by-line walk stores.
    const std::string line = b64.substr(0, 76);
    for (const std::string& odd : {line + "\n", line.substr(0, 75) + "!\r\n", line + "AAAA\r\n",
                                   line.substr(0, 30) + "--R" + line.substr(0, 40) + "\r\n",
                                   std::string("\r\n"), line.substr(0, 40) + "\r\n"}) {
        const std::string body = line + "\r\n" + line + "\r\n" + odd + line + "\r\n" + line;
        const Converted c =
            ConvertEverySplit(header + part + body + "\r\n--R\r\n" + part + lines + "--R--\r\n");
        ASSERT_EQ(c.contents.size(), 2u) << odd;
        EXPECT_EQ(c.contents[0].substr(0, 114), data.substr(0, 57) + data.substr(0, 57)) << odd;
        EXPECT_EQ(c.contents[1], data) << odd;
    }
}

TEST(MimeWalker, OneLineBodyLargerThanAPieceStreamsIntact) {
    std::string data;
    for (int i = 0; i < 30000; ++i) data += static_cast<char>(i * 7);
    const std::string b64 = platform::Base64(data);  // one line, no breaks
    const std::string msg = Header("multipart/mixed; boundary=L") +
                            Lines({"--L", "Content-Type: image/tiff; name=big.tif",
                                   "Content-Transfer-Encoding: base64", "", b64, "--L--", "."});
    convert::WalkerLimits l;
    l.maxLinePiece = 1000;
    l.readBuffer = 333;
    Converted c = Convert(msg, l);
    ASSERT_EQ(c.contents.size(), 1u);
    EXPECT_EQ(c.contents[0], data);
    EXPECT_EQ(Convert(msg), c);
}

TEST(MimeWalker, ATextPartTooLargeToHoldBecomesAnAttachment) {
    const std::string header = Header("multipart/mixed; boundary=T");
    std::string text;
    for (int i = 0; i < 100; ++i) text += "line " + std::to_string(i) + "\r\n";
    convert::WalkerLimits l;
    l.maxTextPart = 200;
    Converted c =
        Convert(header + "--T\r\nContent-Type: text/plain\r\n\r\n" + text + "--T--\r\n.\r\n", l);
    EXPECT_EQ(c.names, std::vector<std::string>{"UNKNOWN.TXT;"});
    EXPECT_EQ(c.contents, std::vector<std::string>{text});
    EXPECT_EQ(c.text, "");
}

TEST(MimeWalker, HeaderTextIsBounded) {
    convert::WalkerLimits l;
    l.maxHeaderText = 4096;
    const std::string msg = "+OK 1 octets\r\nSubject: s\r\nX-Junk: " + std::string(100000, 'j') +
                            "\r\nFrom: late@b.test\r\n\r\nbody\r\n.\r\n";
    Converted c = Convert(msg, l);
    EXPECT_LE(c.text.size(), 4096u + 64);
    EXPECT_EQ(c.subject, "s From: ");
}

TEST(MailDate, AcceptsMailAndLocalFormsAndRejectsTheRest) {
    using convert::ParseMailDate;
    EXPECT_EQ(ParseMailDate("Tue, 1 Jun 2021 10:20:30 +0200"), 1622535630);
    EXPECT_EQ(ParseMailDate("1 Jun 2021 08:20:30 GMT"), 1622535630);
    EXPECT_EQ(ParseMailDate("Tue, 01 Jun 2021 04:20:30 -0400 (EDT)"), 1622535630);
    EXPECT_EQ(ParseMailDate("1 June 21 08:20 UT"), 1622535600);
    EXPECT_NE(ParseMailDate("06/01/2021 10:20:30 AM"), convert::kZeroDate);
    EXPECT_NE(ParseMailDate("2021-06-01 10:20"), convert::kZeroDate);
    // Mail dates in any case, with or without a time, stray commas or a
    // 12-hour clock; without a zone they are local time like the other forms.
    EXPECT_EQ(ParseMailDate("1 jun 2021"), ParseMailDate("06/01/2021"));
    EXPECT_EQ(ParseMailDate("Tue ,1 JUN 2021 08:20:30"), ParseMailDate("2021-06-01 08:20:30"));
    EXPECT_EQ(ParseMailDate("1 Jun 2021 10:20:30 pm GMT"), 1622586030);
    for (const char* bad : {"", "yesterday", "32 Jun 2021", "29 Feb 2021 10:00", "1 Jun 2021 25:00",
                            "1 Jun 2021 10:00 +99", "Tue, 1 Jun", "3 4 5"})
        EXPECT_EQ(ParseMailDate(bad), convert::kZeroDate) << bad;
}

// A file being deleted when a run was killed is hidden under another name;
// the next pass deletes it without converting it.
TEST(ProcessInMessages, ConvertsEveryTxtFileByNameAndDeletesIt) {
    ConvertContext t;
    WriteFile(t.InFile("2.TXT"), "+OK\r\nSubject: second\r\n\r\nx\r\n.\r\n");
    WriteFile(t.InFile("1.txt"), "+OK\r\nSubject: first\r\n\r\nx\r\n.\r\n");
    WriteFile(t.InFile(".3.txt.deleting"), "+OK\r\nSubject: stored before\r\n\r\nx\r\n.\r\n");
    WriteFile(t.InFile("notes.dat"), "left alone");
    std::filesystem::create_directories(t.InFile("dir.txt"));
    convert::ProcessInMessages(Conv(t));
    ASSERT_EQ(t.Inbox().messages.size(), 2u);
    EXPECT_EQ(t.Inbox().messages[0]->subject, "first From: ");
    EXPECT_EQ(t.Inbox().messages[1]->subject, "second From: ");
    EXPECT_FALSE(std::filesystem::exists(t.InFile("1.txt")));
    EXPECT_FALSE(std::filesystem::exists(t.InFile("2.TXT")));
    EXPECT_EQ(testsupport::NamesIn(t.InFile("")),
              (std::vector<std::string>{"dir.txt", "notes.dat"}));
}

// A message the store would not take stays in In/ run after run, each
// failure said on standard error and in the last error; the third failure of
// its own sets it aside so that it no longer stands in the others' way.
// Failures for want of space do not count against the message.
TEST(ProcessInMessages, AFileStaysUntilStoredAndIsSetAsideAfterThreeFailures) {
    ConvertContext t;
    namespace fs = std::filesystem;
    WriteFile(t.InFile("1.TXT"), "+OK\r\nSubject: s\r\n\r\nx\r\n.\r\n");
    platform::Status full = platform::Status::Error(platform::Fail::Io, "disk full");
    full.error = ENOSPC;
    t.store.FailAlways("Store", full);
    for (int run = 0; run < 4; ++run) convert::ProcessInMessages(Conv(t));
    EXPECT_TRUE(fs::exists(t.InFile("1.TXT")));
    EXPECT_EQ(t.run.failure, config::RunFailure::Storage);
    // last_error: the file and the system's reason; the run log: also what to do.
    EXPECT_EQ(
        t.run.gLastError.rfind("Storage Error : cannot convert " + t.InFile("1.TXT") + ": ", 0), 0u)
        << t.run.gLastError;
    EXPECT_TRUE(t.run.gLastError.ends_with("disk full")) << t.run.gLastError;
    ASSERT_EQ(t.logLines.size(), 4u);
    EXPECT_EQ(t.logLines[0].rfind("E|cannot convert " + t.InFile("1.TXT") + " into the inbox: ", 0),
              0u);
    EXPECT_NE(t.logLines[0].find("free some space"), std::string::npos) << t.logLines[0];

    t.store.FailAlways("Store");
    convert::ProcessInMessages(Conv(t));
    convert::ProcessInMessages(Conv(t));
    EXPECT_TRUE(fs::exists(t.InFile("1.TXT")));
    EXPECT_EQ(t.run.stats.messagesSetAside, 0);
    convert::ProcessInMessages(Conv(t));
    const std::string aside = t.InFile(std::string(convert::kSetAsideFolder) + "/1.TXT");
    EXPECT_FALSE(fs::exists(t.InFile("1.TXT")));
    EXPECT_EQ(ReadFile(aside), "+OK\r\nSubject: s\r\n\r\nx\r\n.\r\n");
    EXPECT_NE(ReadFile(aside + ".reason").find("injected"), std::string::npos);
    EXPECT_EQ(t.run.stats.messagesSetAside, 1);
    EXPECT_NE(t.run.gLastError.find("set aside"), std::string::npos) << t.run.gLastError;

    // Once the store works again the next file goes in and no count is left.
    WriteFile(t.InFile("2.TXT"), "+OK\r\nSubject: good\r\n\r\nx\r\n.\r\n");
    t.store.ClearFailures();
    convert::ProcessInMessages(Conv(t));
    ASSERT_EQ(t.Inbox().messages.size(), 1u);
    EXPECT_EQ(t.Inbox().messages[0]->subject, "good From: ");
    EXPECT_FALSE(fs::exists(t.InFile("2.TXT")));
    EXPECT_FALSE(fs::exists(t.InFile(convert::kFailureCountFile)));
    EXPECT_EQ(t.run.stats.messagesConverted, 1);

    // Messages whose inbox entries could not be synced are taken back; their
    // files stay.
    WriteFile(t.InFile("3.TXT"), "+OK\r\nSubject: three\r\n\r\nx\r\n.\r\n");
    WriteFile(t.InFile("4.TXT"), "+OK\r\nSubject: four\r\n\r\nx\r\n.\r\n");
    t.store.FailNext("Sync");
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Inbox().messages.size(), 1u);
    EXPECT_TRUE(fs::exists(t.InFile("3.TXT")) && fs::exists(t.InFile("4.TXT")));
    EXPECT_NE(t.run.gLastError.find("2 messages were taken out"), std::string::npos)
        << t.run.gLastError;
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Inbox().messages.size(), 3u);
    EXPECT_FALSE(fs::exists(t.InFile("3.TXT")) || fs::exists(t.InFile("4.TXT")));
    // A read error is not the end of the message: nothing is stored.
    const convert::ConvertResult unreadable = convert::ProcessMessage(Conv(t), t.run.gInDir);
    EXPECT_EQ(unreadable.outcome, convert::Outcome::NotStored);
    EXPECT_EQ(unreadable.error, EISDIR);
    EXPECT_EQ(t.Inbox().messages.size(), 3u);
    // A missing In folder is no error.
    fs::remove_all(t.run.gInDir);
    convert::ProcessInMessages(Conv(t));
}

TEST(MimeWalker, PartsBeyondTheCapAreLeftOutAndNoted) {
    std::string msg = Header("multipart/mixed; boundary=B");
    for (int i = 1; i <= 5; ++i)
        msg += Lines({"--B", "Content-Type: image/tiff; name=p" + std::to_string(i) + ".tif",
                      "Content-Transfer-Encoding: base64", "", kTiffB64});
    msg += "--B--\r\n.\r\n";
    ConvertContext t;
    WriteFile(t.InFile("1.TXT"), msg);
    convert::WalkerLimits l;
    l.maxAttachments = 3;
    EXPECT_EQ(convert::ProcessMessageWith(Conv(t), t.InFile("1.TXT"), l).outcome,
              convert::Outcome::Stored);
    ASSERT_EQ(t.Inbox().messages.size(), 1u);
    const auto& m = *t.Inbox().messages[0];
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_EQ(m.attachments[2].name, "p3.tif;");
    EXPECT_EQ(m.attachments[2].content, kTiffBytes);
    EXPECT_NE(m.note.find("2 of 5"), std::string::npos) << m.note;
}

// The conversion into the real store under a file size limit: a write cut
// short anywhere leaves nothing in the Maildir and the file in In/; with the
// limit lifted the next run stores the message whole.
struct MaildirInbox : ConvertContext {
    MaildirInbox()
        : ConvertContext(nullptr, RunOptions::Clock::Manual, testsupport::MaildirStore) {}
    std::size_t Files(const char* sub) const {
        return testsupport::FilesIn(inbox + "/" + sub).size();
    }
    // The one message of the inbox.
    platform::StoredMessage Only() {
        auto ids = ctx.store.List(inbox).value_or({});
        EXPECT_EQ(ids.size(), 1u) << run.gLastError;
        return ids.size() == 1 ? *ctx.store.Load(ids[0]) : platform::StoredMessage{};
    }
    std::string Content(const platform::StoredMessage& m, std::size_t i) {
        const std::string out = dir / "out.dat";
        EXPECT_TRUE(ctx.store.WriteAttachment(m.id, i, out).ok());
        return ReadFile(out);
    }
};

// Sets a resource limit for the scope of one test.
struct ScopedLimit {
    ScopedLimit(int resource, rlim_t soft) : resource_(resource) {
        ::getrlimit(resource, &old_);
        rlimit now = old_;
        now.rlim_cur = soft;
        EXPECT_EQ(::setrlimit(resource, &now), 0);
    }
    ~ScopedLimit() { ::setrlimit(resource_, &old_); }
    int resource_;
    rlimit old_{};
};

std::string ManyParts(int parts, const std::string& b64) {
    std::string msg = Header("multipart/mixed; boundary=B") +
                      Lines({"--B", "Content-Type: text/plain", "", "cover"});
    for (int i = 1; i <= parts; ++i)
        msg += Lines({"--B", "Content-Type: image/tiff; name=p" + std::to_string(i) + ".tif",
                      "Content-Transfer-Encoding: base64", ""}) +
               b64;
    return msg + "--B--\r\n.\r\n";
}

TEST(MaildirDelivery, AWriteCutShortStoresNothingAndKeepsTheFile) {
    MaildirInbox t;
    std::string b64;  // 48 KB of data per part, in 76-character lines
    for (int i = 0; i < 850; ++i) b64 += std::string(76, i % 2 ? 'Q' : 'g') + "\r\n";
    const std::string msg = ManyParts(3, b64);
    WriteFile(t.InFile("1.TXT"), msg);
    ::signal(SIGXFSZ, SIG_IGN);
    for (rlim_t limit : {rlim_t{20000}, rlim_t{100000}}) {  // the walker's files; the spool
        ScopedLimit fsize(RLIMIT_FSIZE, limit);
        convert::ProcessInMessages(Conv(t));
        EXPECT_TRUE(std::filesystem::exists(t.InFile("1.TXT"))) << limit;
        EXPECT_NE(t.run.gLastError.find(strerror(EFBIG)), std::string::npos) << t.run.gLastError;
        EXPECT_EQ(t.Files("new") + t.Files("cur") + t.Files("tmp"), 0u) << limit;
    }
    convert::ProcessInMessages(Conv(t));
    EXPECT_FALSE(std::filesystem::exists(t.InFile("1.TXT")));
    ASSERT_EQ(t.Files("new"), 1u);
    const platform::StoredMessage m = t.Only();
    ASSERT_EQ(m.attachments.size(), 3u);
    EXPECT_EQ(t.Content(m, 2).size(), 850u * 57);
}

// Well-formed base64 goes into the store as it came; anything else is decoded
// by the walker's own rules. Either way the stored content is what the
// walker's decoder makes of the part.
TEST(MaildirDelivery, Base64IsKeptAsItCameOnlyWhenWellFormed) {
    const std::string line76(76, 'A'), bytes57(57, '\0');
    const std::vector<std::string> bodies = {
        kTiffB64 + "\r\n",                              // kept
        line76 + "\r\n" + line76 + "\r\nQUJD\r\n\r\n",  // kept, blank line at the end
        "QUI=\r\n",
        "QQ==\r\n",              // kept, padded
        line76 + "A\r\n",        // a line too long
        "QUJD\r\n\r\nQUJD\r\n",  // a blank line inside
        "QU JD\r\n",
        "QUJ\r\n",
        "Q===\r\n",
        "QQ==QUJD\r\n",  // a blank, half a group, bad padding
        "QUJD\rQUJD\r\n",
        "QUJD!\r\n",  // a lone CR, a stray character
        // Stray bytes inside long lines, where the check takes many at once.
        std::string(40, 'A') + "!" + std::string(35, 'A') + "\r\n",
        std::string(20, 'A') + "\xc1" + std::string(55, 'A') + "\r\n",
        std::string(17, 'A') + "@[`{:" + std::string(54, 'A') + "\r\n",
        // A stray character after many lines: what was kept so far is taken
        // back and decoded with the rest.
        [&line76] {
            std::string big;
            for (int i = 0; i < 2000; ++i) big += line76 + "\r\n";
            return big + "QUJD!\r\n" + line76 + "\r\n";
        }(),
    };
    std::string msg = Header("multipart/mixed; boundary=B");
    for (std::size_t i = 0; i < bodies.size(); ++i)
        msg += Lines({"--B", "Content-Type: image/tiff; name=p" + std::to_string(i) + ".tif",
                      "Content-Transfer-Encoding: base64", ""}) +
               bodies[i];
    msg += "--B--\r\n.\r\n";
    const Converted want = Convert(msg);
    ASSERT_EQ(want.contents.size(), bodies.size());
    EXPECT_EQ(want.contents[0], kTiffBytes);
    EXPECT_EQ(want.contents[1], std::string(114, '\0') + "ABC");
    EXPECT_EQ(want.contents.back(), std::string(114000, '\0') + "ABC" + std::string(57, '\0'));

    MaildirInbox t;
    WriteFile(t.InFile("1.TXT"), msg);
    convert::ProcessInMessages(Conv(t));
    const platform::StoredMessage m = t.Only();
    ASSERT_EQ(m.attachments.size(), bodies.size());
    for (std::size_t i = 0; i < bodies.size(); ++i)
        EXPECT_EQ(t.Content(m, i), want.contents[i]) << "part " << i << ": " << bodies[i];
    // Only the parts that had to be decoded left a data file behind.
    EXPECT_FALSE(std::filesystem::exists(t.run.gTempDir + "p0.tif"));
    EXPECT_TRUE(std::filesystem::exists(t.run.gTempDir + "p4.tif"));
    for (const char* stray : {"p12.tif", "p13.tif", "p14.tif", "p15.tif"})
        EXPECT_TRUE(std::filesystem::exists(t.run.gTempDir + stray)) << stray;
}

// Attachments go into the store one at a time: a message of 2,000 parts
// converts with far fewer descriptors than parts.
TEST(MaildirDelivery, ThousandsOfPartsConvertUnderALowOpenFileLimit) {
    MaildirInbox t;
    WriteFile(t.InFile("1.TXT"), ManyParts(2000, kTiffB64 + "\r\n"));
    {
        ScopedLimit files(RLIMIT_NOFILE, 256);
        convert::ProcessInMessages(Conv(t));
    }
    EXPECT_FALSE(std::filesystem::exists(t.InFile("1.TXT"))) << t.run.gLastError;
    const platform::StoredMessage m = t.Only();
    ASSERT_EQ(m.attachments.size(), 2000u);
    EXPECT_EQ(m.attachments[1999].name, "p2000.tif;");
    EXPECT_EQ(t.Content(m, 1998), kTiffBytes);
}

// Batches are synced in the background while the next one converts; each
// file goes once its own batch is durable. A batch that fails to sync keeps
// its files, and only its own.
TEST(ProcessInMessages, EachBatchKeepsItsFilesUntilItIsDurable) {
    const auto fill = [](ConvertContext& t, int from, int to) {
        for (int i = from; i <= to; ++i)
            WriteFile(t.InFile(std::to_string(1000 + i) + ".TXT"),
                      "+OK\r\nSubject: m" + std::to_string(i) + "\r\n\r\nx\r\n.\r\n");
    };
    MaildirInbox real;
    fill(real, 1, 150);
    convert::ProcessInMessages(Conv(real));
    EXPECT_EQ(real.Files("new"), 150u) << real.run.gLastError;
    EXPECT_TRUE(real.Files("tmp") == 0 && testsupport::FilesIn(real.run.gInDir).empty());
    EXPECT_EQ(real.run.stats.messagesConverted, 150);

    ConvertContext t;
    fill(t, 1, 70);
    t.store.FailNext("Sync");  // the first batch's
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Inbox().messages.size(), 6u);
    EXPECT_EQ(testsupport::FilesIn(t.run.gInDir).size(), 64u + 1u);  // and the journal
    EXPECT_TRUE(std::filesystem::exists(t.InFile("1001.TXT")));
    EXPECT_FALSE(std::filesystem::exists(t.InFile("1070.TXT")));
    EXPECT_NE(t.run.gLastError.find("64 messages were taken out"), std::string::npos)
        << t.run.gLastError;
}

// A run that died after storing messages but before deleting their files
// left the journal: a file is converted again only when the inbox lacks its
// message, whatever the message holds. A fax of one TIFF part has no text to
// know it by.
TEST(ProcessInMessages, AJournalledFileAlreadyInTheInboxIsNotConvertedTwice) {
    MaildirInbox t;
    const std::string tiffOnly =
        Header("multipart/mixed; boundary=B") +
        Lines({"--B", "Content-Type: image/tiff; name=f.tif", "Content-Transfer-Encoding: base64",
               "", kTiffB64, "--B--", "."});
    const std::string text = "+OK 40 octets\r\nSubject: once\r\n\r\nx\r\n.\r\n";
    WriteFile(t.InFile("1.TXT"), tiffOnly);
    WriteFile(t.InFile("2.TXT"), text);
    convert::ProcessInMessages(Conv(t));
    ASSERT_EQ(t.Files("new"), 2u) << t.run.gLastError;
    // As if the run had died between storing and deleting.
    WriteFile(t.InFile("1.TXT"), tiffOnly);
    WriteFile(t.InFile("2.TXT"), text);
    WriteFile(t.InFile(".converting"), "1.TXT\n2.TXT\n");
    WriteFile(t.InFile("3.TXT"), "+OK 40 octets\r\nSubject: other\r\n\r\nx\r\n.\r\n");
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Files("new"), 3u);
    EXPECT_TRUE(testsupport::FilesIn(t.run.gInDir).empty());
    EXPECT_FALSE(std::filesystem::exists(t.InFile(".converting")));

    // Died before storing it: converted as usual.
    WriteFile(t.InFile("4.TXT"), tiffOnly + "\r\n");
    WriteFile(t.InFile(".converting"), "4.TXT\n");
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Files("new"), 4u);

    // Stored while downloading by a run that died, and filed out of the
    // inbox since: the early journal's list knows it; a file it does not
    // list and the inbox lacks is converted.
    const std::string filed = "+OK 40 octets\r\nSubject: filed\r\n\r\nx\r\n.\r\n";
    WriteFile(t.InFile("5.TXT"), filed);
    WriteFile(t.InFile("6.TXT"), filed + "y\r\n");
    WriteFile(t.InFile(".converting-early"),
              "0000000000000000\n" + platform::FileDigest(t.InFile("5.TXT")).value_or("?") + "\n");
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Files("new"), 5u);
    EXPECT_FALSE(std::filesystem::exists(t.InFile("5.TXT")));
    EXPECT_FALSE(std::filesystem::exists(t.InFile("6.TXT")));

    // Left by a version that took digests in the earlier form: the journal's
    // and the stored message's are recognised alike.
    const std::string older = "+OK 40 octets\r\nSubject: older\r\n\r\nx\r\n.\r\n";
    WriteFile(t.InFile("7.TXT"), older);
    WriteFile(t.InFile("8.TXT"), older + "z\r\n");
    const auto earlier = [&](const char* name) {
        return platform::FileDigest(t.InFile(name), false, platform::DigestForm::Earlier)
            .value_or("?");
    };
    platform::NewMessage byEarlier;
    byEarlier.origin = earlier("8.TXT");
    ASSERT_TRUE(t.ctx.store.Store(t.inbox, byEarlier).ok() && t.ctx.store.Sync(t.inbox).ok());
    WriteFile(t.InFile(".converting-early"), earlier("7.TXT") + "\n");
    convert::ProcessInMessages(Conv(t));
    EXPECT_EQ(t.Files("new"), 6u);  // the one stored here, and nothing converted
    EXPECT_FALSE(std::filesystem::exists(t.InFile("7.TXT")));
    EXPECT_FALSE(std::filesystem::exists(t.InFile("8.TXT")));
}

}  // namespace
