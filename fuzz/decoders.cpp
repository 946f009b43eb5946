// The decoders on arbitrary input files, and the temp-name mapping on
// arbitrary names: no crash, bounded output, and a name that always stays a
// plain entry of the temp folder.
#include "convert/Decoders.h"

#include <unistd.h>

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>

#include "convert/HeaderUtils.h"
#include "platform/Text.h"

namespace {

struct Fixture {
    std::string dir;
    Fixture() {
        char tmpl[] = "/tmp/vf-fuzz-dec.XXXXXX";
        dir = ::mkdtemp(tmpl);
    }
};

void CheckName(const std::string& name) {
    const std::string safe = convert::SafeTempName(name);
    if (safe.empty() || safe == "." || safe == ".." || safe.front() == '.') std::abort();
    if (safe.size() > convert::kMaxSafeNameLength) std::abort();
    for (unsigned char c : safe)
        if (c == '/' || c == '\\' || c == ':' || c < 0x20 || c == 0x7F) std::abort();
    const std::string lower = platform::Lower(safe);
    if (lower == "temp.txt" || lower == "new.txt") std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    static Fixture fx;
    const std::string bytes(reinterpret_cast<const char*>(data), size);
    CheckName(bytes);
    const std::string in = fx.dir + "/temp.txt";
    const std::string out = fx.dir + "/out.bin";
    {
        std::ofstream f(in, std::ios::binary | std::ios::trunc);
        f << bytes;
    }
    if (convert::DecodeBase64FileA(in, out) != 0) std::abort();
    // Base64 yields at most three bytes for every four input bytes.
    if (std::filesystem::file_size(out) > size / 4 * 3 + 3) std::abort();
    if (convert::DecodeFileA(in, out) != 0) std::abort();
    // Neither uudecode nor quoted-printable makes more than it reads (a lone
    // CR becomes CR LF, hence the factor).
    if (std::filesystem::file_size(out) > 2 * size + 2) std::abort();
    const std::string data1 = convert::DecodeAttachment(fx.dir + "/", bytes, "base64");
    if (data1.rfind(fx.dir + "/", 0) != 0) std::abort();
    for (auto& e : std::filesystem::directory_iterator(fx.dir)) std::filesystem::remove(e.path());
    return 0;
}
