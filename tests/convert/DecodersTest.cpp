#include <gtest/gtest.h>
#include <sys/stat.h>

#include <filesystem>
#include <random>
#include <set>

#include "convert/Decoders.h"
#include "platform/Text.h"
#include "tests/support/TempDir.h"

namespace {

using testsupport::ReadFile;
using testsupport::TempDir;
using testsupport::WriteFile;

std::string RandomBytes(std::size_t n, unsigned seed) {
    std::mt19937 rng(seed);
    std::string s(n, '\0');
    for (char& c : s) c = static_cast<char>(rng() & 0xFF);
    return s;
}

// The product's own encoder, cut into MIME lines of lineLen characters.
std::string Base64(const std::string& in, std::size_t lineLen = 76) {
    const std::string b64 = platform::Base64(in);
    std::string out;
    for (std::size_t i = 0; i < b64.size(); i += lineLen) out += b64.substr(i, lineLen) + "\r\n";
    return out;
}

std::string UuEncode(const std::string& in) {
    auto enc = [](unsigned v) { return static_cast<char>(v ? v + 32 : '`'); };
    std::string out = "begin 644 fax.tif\r\n";
    for (std::size_t i = 0; i < in.size(); i += 45) {
        std::string chunk = in.substr(i, 45);
        out += enc(static_cast<unsigned>(chunk.size()));
        for (std::size_t k = 0; k < chunk.size(); k += 3) {
            unsigned char b[3] = {0, 0, 0};
            for (std::size_t j = 0; j < 3 && k + j < chunk.size(); ++j)
                b[j] = static_cast<unsigned char>(chunk[k + j]);
            out += enc(b[0] >> 2);
            out += enc(((b[0] << 4) | (b[1] >> 4)) & 63);
            out += enc(((b[1] << 2) | (b[2] >> 6)) & 63);
            out += enc(b[2] & 63);
        }
        out += "\r\n";
    }
    out += "`\r\nend\r\n";
    return out;
}

std::string DecodeB64(const TempDir& d, const std::string& encoded) {
    WriteFile(d / "in", encoded);
    EXPECT_EQ(convert::DecodeBase64FileA(d / "in", d / "out"), 0);
    return ReadFile(d / "out");
}

std::string DecodeFile(const TempDir& d, const std::string& encoded) {
    WriteFile(d / "in", encoded);
    EXPECT_EQ(convert::DecodeFileA(d / "in", d / "out"), 0);
    return ReadFile(d / "out");
}

TEST(Base64Decoder, RestoresBinaryOfEveryRemainderLength) {
    TempDir d;
    for (std::size_t n : {0u, 1u, 2u, 3u, 4u, 57u, 100000u}) {
        const std::string data = RandomBytes(n, static_cast<unsigned>(n));
        EXPECT_EQ(DecodeB64(d, Base64(data)), data) << n;
    }
}

TEST(Base64Decoder, SkipsBlanksLineEndsAndForeignCharactersAndStopsAtPadding) {
    TempDir d;
    EXPECT_EQ(DecodeB64(d, " SGVs\tbG8s\r\nIHdv*cmxk\nIQ==\r\n"), "Hello, world!");
    // Lower and upper case are different data.
    EXPECT_EQ(DecodeB64(d, "YWJj"), "abc");
    EXPECT_EQ(DecodeB64(d, "QUJD"), "ABC");
    // Missing padding still yields the bytes of the last group.
    EXPECT_EQ(DecodeB64(d, "SGk"), "Hi");
    // What follows the padding (a signature, a closing line) is not data.
    EXPECT_EQ(DecodeB64(d, "SGk=\r\n--end--\r\nQUJD\r\n"), "Hi");
}

TEST(Base64Decoder, ReportsInputThatCannotBeOpened) {
    TempDir d;
    EXPECT_EQ(convert::DecodeBase64FileA(d / "missing", d / "out"), -1);
    EXPECT_EQ(convert::DecodeFileA(d / "missing", d / "out"), -1);
}

TEST(FileDecoder, UndoesUuencodingAfterItsBeginLine) {
    TempDir d;
    const std::string data = RandomBytes(10000, 7);
    EXPECT_EQ(DecodeFile(d, "some preamble\r\n\r\n" + UuEncode(data) + "trailer\r\n"), data);
    EXPECT_EQ(DecodeFile(d, UuEncode("")), "");
}

TEST(FileDecoder, UndoesTheBase64FormOfUuencode) {
    TempDir d;
    const std::string data = RandomBytes(500, 9);
    EXPECT_EQ(DecodeFile(d, "begin-base64 644 x.bin\r\n" + Base64(data, 60) + "====\r\n"), data);
}

TEST(FileDecoder, UndoesQuotedPrintableWithoutABeginLine) {
    TempDir d;
    EXPECT_EQ(DecodeFile(d, "caf=C3=A9 au lait=\r\n continues\r\nline two  \t\r\n"),
              "caf\xC3\xA9 au lait continues\r\nline two\r\n");
    // Malformed escapes stay as they are; lower-case hex is accepted.
    EXPECT_EQ(DecodeFile(d, "a=ZZ b=4 c=3d d=\r\n"), "a=ZZ b=4 c= d");
    // Soft break with transport padding behind the "=", and a begin word that
    // is not a uuencode header.
    EXPECT_EQ(DecodeFile(d, "x=  \r\nbegin here\r\n"), "xbegin here\r\n");
    EXPECT_EQ(DecodeFile(d, "end ="), "end =");
}

TEST(SafeTempName, KeepsEveryNameAPlainEntryOfTheTempFolder) {
    using convert::SafeTempName;
    const std::pair<const char*, const char*> cases[] = {
        {"fax.tif", "fax.tif"},    {"../../x.tif", "x.tif"},
        {"/etc/x.tif", "x.tif"},   {"C:\\faxes\\in\\x.tif", "x.tif"},
        {"C:x.tif", "C_x.tif"},    {"a\x01\tb\x7F.tif", "a__b_.tif"},
        {"..", "UNKNOWN.DAT"},     {".", "UNKNOWN.DAT"},
        {"", "UNKNOWN.DAT"},       {"dir/", "UNKNOWN.DAT"},
        {".profile", "_profile"},  {"temp.txt", "_temp.txt"},
        {"TEMP.TXT", "_TEMP.TXT"}, {"new.txt", "_new.txt"}};
    for (auto [name, want] : cases) EXPECT_EQ(SafeTempName(name), want) << name;
    const std::string longName = SafeTempName(std::string(300, 'a') + ".tif");
    EXPECT_EQ(longName.size(), convert::kMaxSafeNameLength);
    EXPECT_TRUE(longName.ends_with(".tif"));
}

// Every hostile name, decoded by every encoding, leaves the world outside the
// temp folder exactly as it was, and never replaces the body file it reads.
TEST(DecodeAttachment, WritesAndDeletesOnlyInsideTheTempFolder) {
    TempDir root;
    const std::string temp = root / "app/temp/";
    std::filesystem::create_directories(temp);
    std::filesystem::create_directories(root / "app/In");
    WriteFile(root / "x.tif", "outside");
    WriteFile(root / "app/x.tif", "outside");
    WriteFile(root / "app/In/1.TXT", "message");
    const std::vector<std::string> names = {"../../x.tif",
                                            "/etc/x.tif",
                                            "../x.tif",
                                            "..",
                                            "",
                                            "a\x01\x1f.tif",
                                            "..\\x.tif",
                                            "..\\..\\In\\1.TXT",
                                            std::string(300, 'n'),
                                            "temp.txt",
                                            "new.txt",
                                            "../In/1.TXT",
                                            "In/../../x.tif"};
    auto outside = [&] {
        std::set<std::string> seen;
        for (auto& e : std::filesystem::recursive_directory_iterator(root.path()))
            if (e.path().string().rfind(temp, 0) != 0) seen.insert(e.path().string());
        return seen;
    };
    const auto before = outside();
    for (const std::string& name : names) {
        for (const char* enc : {"base64", "UUCODE", "quoted-printable", "7bit"}) {
            WriteFile(temp + "temp.txt", "SGk=\r\n");
            const std::string data = convert::DecodeAttachment(temp, name, enc);
            EXPECT_EQ(data.rfind(temp, 0), 0u) << name;
            EXPECT_EQ(data.find('/', temp.size()), std::string::npos) << name;
            EXPECT_EQ(ReadFile(temp + "temp.txt"), "SGk=\r\n") << name << " " << enc;
        }
    }
    EXPECT_EQ(outside(), before);
    EXPECT_EQ(ReadFile(root / "x.tif"), "outside");
    EXPECT_EQ(ReadFile(root / "app/x.tif"), "outside");
    EXPECT_EQ(ReadFile(root / "app/In/1.TXT"), "message");
}

TEST(DecodeAttachment, ChoosesTheDecoderByTheTrimmedUpperCasedEncoding) {
    TempDir d;
    const std::string temp = d.path() + "/";
    WriteFile(temp + "temp.txt", "SGk=\r\n");
    EXPECT_EQ(convert::DecodeAttachment(temp, "a.bin", "  bAsE64 "), temp + "a.bin");
    EXPECT_EQ(ReadFile(temp + "a.bin"), "Hi");

    WriteFile(temp + "temp.txt", "a=3Db\r\n");
    EXPECT_EQ(convert::DecodeAttachment(temp, "a.bin", "Quoted-Printable"), temp + "new.txt");
    EXPECT_EQ(ReadFile(temp + "new.txt"), "a=b\r\n");

    WriteFile(temp + "temp.txt", UuEncode("uu data"));
    EXPECT_EQ(convert::DecodeAttachment(temp, "u.bin", "uucode"), temp + "u.bin");
    EXPECT_EQ(ReadFile(temp + "u.bin"), "uu data");

    for (const char* other : {"7bit", "8bit", "binary", "", "x-unknown"})
        EXPECT_EQ(convert::DecodeAttachment(temp, "u.bin", other), temp + "temp.txt") << other;
}

TEST(DecodeAttachment, ReplacesAnOlderFileOfTheSameName) {
    TempDir d;
    const std::string temp = d.path() + "/";
    WriteFile(temp + "fax.tif", "an older and much longer content");
    WriteFile(temp + "temp.txt", "SGk=\r\n");
    convert::DecodeAttachment(temp, "fax.tif", "base64");
    EXPECT_EQ(ReadFile(temp + "fax.tif"), "Hi");
    struct stat st {};
    ASSERT_EQ(::stat((temp + "fax.tif").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
}

}  // namespace
