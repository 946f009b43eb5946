// What text from a received message may become in outgoing mail: the DATA
// bytes, quoted text, header values and recipient addresses.
#include <gtest/gtest.h>

#include <random>

#include "mailout/Mailer.h"
#include "mailout/SafeText.h"

using mailout::DataForWire;

namespace mailtest {
namespace {

// What a server that ends DATA at the first lone "." line stores: the lines
// before it, unstuffed. `rest` receives whatever follows, which such a
// server would take as commands.
std::string ServerReads(const std::string& wire, std::string& rest) {
    std::string stored;
    std::size_t pos = 0;
    for (;;) {
        std::size_t eol = wire.find("\r\n", pos);
        if (eol == std::string::npos) {
            rest = wire.substr(pos);
            return stored;
        }
        std::string line = wire.substr(pos, eol - pos);
        pos = eol + 2;
        if (line == ".") {
            rest = wire.substr(pos);
            return stored;
        }
        if (line.starts_with(".")) line.erase(0, 1);
        stored += line + "\r\n";
    }
}

TEST(DataForWire, StuffsDotsAndMakesEveryLineEndCrLf) {
    // The quoted text of the smuggling mail: bare CRs around a lone dot.
    EXPECT_EQ(DataForWire("Hi\r.\rMAIL FROM:<evil>\r\n\r\n.\r\n"),
              "Hi\r\n..\r\nMAIL FROM:<evil>\r\n\r\n.\r\n");
    EXPECT_EQ(DataForWire("To:a\r\n\r\nbody\r\n\r\n.\r\n"), "To:a\r\n\r\nbody\r\n\r\n.\r\n");
}

TEST(DataForWire, NoTextEndsTheTransferBeforeItsOwnEnd) {
    // Random messages of dots and line-end bytes, the hardest alphabet: the
    // server must read exactly the text with normalised line ends, and
    // nothing after it.
    std::mt19937 gen(7);
    const char alphabet[] = {'.', '\r', '\n', 'a'};
    for (int i = 0; i < 3000; ++i) {
        std::string text;
        const int n = static_cast<int>(gen() % 24);
        for (int k = 0; k < n; ++k) text += alphabet[gen() % 4];
        const std::string message = text + mailout::kEndOfData;
        const std::string wire = DataForWire(message);
        for (std::size_t k = 0; k < wire.size(); ++k) {
            if (wire[k] == '\r') {
                ASSERT_EQ(wire[k + 1], '\n') << testing::PrintToString(text);
            }
            if (wire[k] == '\n') {
                ASSERT_EQ(wire[k - 1], '\r') << testing::PrintToString(text);
            }
        }
        std::string rest;
        EXPECT_EQ(ServerReads(wire, rest), mailout::NormaliseLineEnds(text + "\r\n\r\n"))
            << testing::PrintToString(text);
        EXPECT_EQ(rest, "") << testing::PrintToString(text);
    }
}

TEST(QuotedText, NormalisesLineEndsAndCutsAtALineWithAMarker) {
    EXPECT_EQ(mailout::QuotedText("a\rb\nc\r\n"), "a\r\nb\r\nc\r\n");

    std::string lines;
    while (lines.size() < 200 * 1024)
        lines += "line of quoted text " + std::to_string(lines.size()) + "\n";
    const std::string q = mailout::QuotedText(lines);
    const std::size_t marker = q.rfind("\r\n[The quoted message is cut here");
    ASSERT_NE(marker, std::string::npos);
    EXPECT_LE(marker, mailout::kQuoteLimit);
    EXPECT_GT(marker, mailout::kQuoteLimit - 100);
    EXPECT_EQ(mailout::NormaliseLineEnds(lines).compare(0, marker + 2, q, 0, marker + 2), 0);
    EXPECT_NE(q.find(" more bytes are not shown.]"), std::string::npos);

    // One endless line is cut hard, never inside a line end.
    const std::string e = mailout::QuotedText(std::string(mailout::kQuoteLimit - 1, 'x') + "\r\nx");
    EXPECT_EQ(e.substr(mailout::kQuoteLimit - 1, 3), "\r\n[");
}

TEST(ReduceRecipient, TakesThePlainAddressAndRefusesEverythingElse) {
    struct Case {
        const char* given;
        const char* address;  // nullptr: refused
    };
    const Case cases[] = {
        {"bob@example.net", "bob@example.net"},
        {"Bob <bob@example.net>", "bob@example.net"},
        {"Bob Smith <bob@example.net>", "bob@example.net"},
        {"<bob@example.net>", "bob@example.net"},
        {"  bob@example.net  ", "bob@example.net"},
        {"bob@example.net\nRCPT TO:<victim@x.test>", nullptr},
        {"bob@example.net\r", nullptr},
        {"bob@example.net>\r\nRCPT TO:<victim@x.test", nullptr},
        {"bob@example.net> NOTIFY=SUCCESS", nullptr},
        {"a <b> <victim@x.test>", nullptr},
        {"Bob <bob@example.net> trailing", nullptr},
        {"bob@example.net, victim@x.test", nullptr},
        {"", nullptr},
        {"<>", nullptr},
        // One mailbox as the standard has it, nothing more.
        {"\"Doe, John\" <john.doe+fax@mail-1.example.net>", "john.doe+fax@mail-1.example.net"},
        {"fax1@127.0.0.1", "fax1@127.0.0.1"},
        {"<a@localhost,>", nullptr},
        {"a@localhost.", nullptr},
        {"bob@example.net,victim@x.test", nullptr},
        {"<=?utf-8?B?Ym9iQGV4YW1wbGUubmV0?=>", nullptr},
        {"=?utf-8?Q?bob?=@example.net", nullptr},
        {"bob..smith@example.net", nullptr},
        {"bob@-example.net", nullptr},
        {"b\xc3\xb6"
         "b@example.net",
         nullptr},
        {"bob", nullptr},
    };
    for (const Case& c : cases) {
        std::string address, why;
        const bool ok = mailout::ReduceRecipient(c.given, address, why);
        EXPECT_EQ(ok, c.address != nullptr) << testing::PrintToString(c.given) << " " << why;
        if (ok) {
            EXPECT_EQ(address, c.address);
        } else {
            EXPECT_FALSE(why.empty());
        }
    }
}

}  // namespace
}  // namespace mailtest
