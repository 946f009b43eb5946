// The bytes that go on the wire after DATA, for any message text: every line
// ends in CR LF, and a server reading them stops at the program's own final
// "." line, having read exactly the text with its line ends made CR LF.
#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <string>

#include "mailout/SMTPprocedures.h"
#include "mailout/SafeText.h"

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    const std::string text(reinterpret_cast<const char*>(data), size);
    const std::string wire = mailout::DataForWire(text + mailout::kEndOfData);
    for (std::size_t i = 0; i < wire.size(); ++i) {
        if (wire[i] == '\r' && (i + 1 >= wire.size() || wire[i + 1] != '\n')) std::abort();
        if (wire[i] == '\n' && (i == 0 || wire[i - 1] != '\r')) std::abort();
    }
    std::string stored;
    std::size_t pos = 0;
    for (;;) {
        const std::size_t eol = wire.find("\r\n", pos);
        if (eol == std::string::npos) std::abort();  // no end line at all
        std::string line = wire.substr(pos, eol - pos);
        pos = eol + 2;
        if (line == ".") break;
        if (!line.empty() && line[0] == '.') line.erase(0, 1);
        stored += line + "\r\n";
    }
    if (pos != wire.size()) std::abort();  // bytes a server would take as commands
    if (stored != mailout::NormaliseLineEnds(text + "\r\n\r\n")) std::abort();

    // The quoted form of the same text is bounded and has no bare line end.
    const std::string quoted = mailout::QuotedText(text);
    if (quoted.size() > mailout::kQuoteLimit + 200) std::abort();
    for (std::size_t i = 0; i < quoted.size(); ++i)
        if (quoted[i] == '\n' && (i == 0 || quoted[i - 1] != '\r')) std::abort();
    return 0;
}
