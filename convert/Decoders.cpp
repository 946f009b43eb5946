#include "convert/Decoders.h"

#include <unistd.h>

#include <algorithm>
#include <array>

#include "convert/HeaderUtils.h"
#include "platform/FileStream.h"
#include "platform/Text.h"

namespace convert {
namespace {

constexpr std::size_t kMaxUuLine = 1024;  // longer lines are cut: no uu line comes near it

constexpr std::array<signed char, 256> MakeBase64Table() {
    std::array<signed char, 256> t{};
    for (auto& v : t) v = -1;
    const char* alphabet = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";
    for (int i = 0; i < 64; ++i)
        t[static_cast<unsigned char>(alphabet[i])] = static_cast<signed char>(i);
    return t;
}
constexpr auto kBase64 = MakeBase64Table();

// Accumulates base64 sextets and writes whole bytes.
class Base64Sink {
  public:
    explicit Base64Sink(platform::FileOut& out) : out_(out) {}
    // False once "=" has ended the data.
    bool Feed(unsigned char c) {
        if (ended_) return false;
        if (c == '=') {
            if (count_ >= 2) {
                FlushPartial();
                ended_ = true;
                return false;
            }
            return true;  // a stray "=" where no padding can stand: skip it
        }
        int v = kBase64[c];
        if (v < 0) return true;
        acc_ = (acc_ << 6) | static_cast<unsigned>(v);
        if (++count_ == 4) {
            out_.Put(static_cast<char>((acc_ >> 16) & 0xFF));
            out_.Put(static_cast<char>((acc_ >> 8) & 0xFF));
            out_.Put(static_cast<char>(acc_ & 0xFF));
            acc_ = 0;
            count_ = 0;
        }
        return true;
    }
    void Finish() {
        if (!ended_) FlushPartial();
        ended_ = true;
    }
    bool Ended() const { return ended_; }

  private:
    void FlushPartial() {
        if (count_ == 2) {
            out_.Put(static_cast<char>((acc_ >> 4) & 0xFF));
        } else if (count_ == 3) {
            out_.Put(static_cast<char>((acc_ >> 10) & 0xFF));
            out_.Put(static_cast<char>((acc_ >> 2) & 0xFF));
        }
        acc_ = 0;
        count_ = 0;
    }
    platform::FileOut& out_;
    unsigned acc_ = 0;
    int count_ = 0;
    bool ended_ = false;
};

// Reads one line (CR, LF or CR LF ends it) into `line`, keeping at most
// `max` bytes of it. False at the end of the input with nothing read.
bool ReadLine(platform::FileIn& in, std::string& line, std::size_t max) {
    line.clear();
    int c = in.Get();
    if (c < 0) return false;
    while (c >= 0 && c != '\r' && c != '\n') {
        if (line.size() < max) line.push_back(static_cast<char>(c));
        c = in.Get();
    }
    if (c == '\r' && in.Peek() == '\n') in.Get();
    return true;
}

bool IsOctal(std::string_view s) {
    if (s.size() < 3 || s.size() > 4) return false;
    for (char c : s)
        if (c < '0' || c > '7') return false;
    return true;
}

// "begin 644 name" (uuencode) or "begin-base64 644 name" (its base64 form).
enum class BeginKind { None, Uu, Base64 };
BeginKind BeginLine(std::string_view line) {
    BeginKind kind;
    if (line.starts_with("begin ")) {
        kind = BeginKind::Uu;
        line.remove_prefix(6);
    } else if (line.starts_with("begin-base64 ")) {
        kind = BeginKind::Base64;
        line.remove_prefix(13);
    } else {
        return BeginKind::None;
    }
    std::size_t sp = line.find(' ');
    if (sp == std::string_view::npos || !IsOctal(line.substr(0, sp))) return BeginKind::None;
    return kind;
}

int FinishOutput(platform::FileOut& out) {
    return out.Close() ? 0 : -2;
}

// Decodes uuencoded lines up to "end" (or a zero-length line).
void UuDecodeBody(platform::FileIn& in, platform::FileOut& out) {
    std::string line;
    while (ReadLine(in, line, kMaxUuLine)) {
        if (line == "end") break;
        if (line.empty()) continue;
        int n = (line[0] - ' ') & 0x3F;
        if (n == 0) break;
        // Trailing blanks lost in transit read as zero, but a line never
        // gives more than one group beyond the characters it has.
        const int most = static_cast<int>((line.size() - 1) / 4 + 1) * 3;
        n = std::min(n, most);
        int written = 0;
        for (std::size_t i = 1; written < n; i += 4) {
            unsigned char q[4];
            for (std::size_t k = 0; k < 4; ++k) {
                // Short lines (trailing blanks stripped in transit) read as zero.
                char ch = i + k < line.size() ? line[i + k] : ' ';
                q[k] = static_cast<unsigned char>((ch - ' ') & 0x3F);
            }
            const unsigned char b[3] = {static_cast<unsigned char>((q[0] << 2) | (q[1] >> 4)),
                                        static_cast<unsigned char>((q[1] << 4) | (q[2] >> 2)),
                                        static_cast<unsigned char>((q[2] << 6) | q[3])};
            for (int k = 0; k < 3 && written < n; ++k, ++written) out.Put(static_cast<char>(b[k]));
        }
    }
}

void Base64LinesBody(platform::FileIn& in, platform::FileOut& out) {
    std::string line;
    Base64Sink sink(out);
    while (ReadLine(in, line, kMaxUuLine)) {
        if (line == "====") break;
        for (char c : line) sink.Feed(static_cast<unsigned char>(c));
    }
    sink.Finish();
}

int HexValue(int c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

// Quoted-printable, streamed byte by byte. Hard line breaks come out as CR LF;
// blanks at the end of a line are transport padding and are dropped; "=" at
// the end of a line joins it to the next; "=XX" gives the byte; any other
// "=" stays as it is. A bounded run of blanks is held back to find out
// whether it ends a line.
void QpDecodeBody(platform::FileIn& in, platform::FileOut& out) {
    constexpr std::size_t kMaxHeldBlanks = 4096;
    std::string blanks;
    auto flushBlanks = [&] {
        out.Write(blanks);
        blanks.clear();
    };
    for (int c = in.Get(); c >= 0;) {
        if (c == ' ' || c == '\t') {
            if (blanks.size() >= kMaxHeldBlanks) flushBlanks();
            blanks.push_back(static_cast<char>(c));
            c = in.Get();
            continue;
        }
        if (c == '\r') {
            blanks.clear();
            out.Write("\r\n");
            if (in.Peek() == '\n') in.Get();
            c = in.Get();
            continue;
        }
        flushBlanks();
        if (c != '=') {
            out.Put(static_cast<char>(c));
            c = in.Get();
            continue;
        }
        // "=" seen.
        int d = in.Get();
        std::string pad;  // blanks between "=" and a line end
        while ((d == ' ' || d == '\t') && pad.size() < kMaxHeldBlanks) {
            pad.push_back(static_cast<char>(d));
            d = in.Get();
        }
        if (d == '\r' || d == '\n') {  // soft line break
            if (d == '\r' && in.Peek() == '\n') in.Get();
            c = in.Get();
            continue;
        }
        if (!pad.empty() || d < 0) {
            out.Put('=');
            out.Write(pad);
            c = d;
            continue;
        }
        const int h1 = HexValue(d);
        if (h1 < 0) {
            out.Put('=');
            c = d;
            continue;
        }
        const int e = in.Get();
        const int h2 = HexValue(e);
        if (h2 < 0) {
            out.Put('=');
            out.Put(static_cast<char>(d));
            c = e;
            continue;
        }
        out.Put(static_cast<char>(h1 * 16 + h2));
        c = in.Get();
    }
    // Blanks at the very end are padding too.
}

}  // namespace

std::int32_t DecodeBase64FileA(const std::string& inPath, const std::string& outPath) {
    platform::FileIn in;
    if (!in.Open(inPath)) return -1;
    platform::FileOut out;
    if (!out.Create(outPath)) return -1;
    Base64Sink sink(out);
    for (std::string_view chunk = in.Available(); !chunk.empty() && !sink.Ended();
         chunk = in.Available()) {
        for (char c : chunk)
            if (!sink.Feed(static_cast<unsigned char>(c))) break;
        in.Skip(chunk.size());
    }
    sink.Finish();
    return FinishOutput(out);
}

std::int32_t DecodeFileA(const std::string& inPath, const std::string& outPath) {
    platform::FileIn in;
    if (!in.Open(inPath)) return -1;
    // First pass: is there a begin line? The body is read again either way.
    std::string line;
    BeginKind kind = BeginKind::None;
    while (ReadLine(in, line, kMaxUuLine))
        if ((kind = BeginLine(line)) != BeginKind::None) break;
    platform::FileOut out;
    if (!out.Create(outPath)) return -1;
    if (kind == BeginKind::Uu) {
        UuDecodeBody(in, out);
    } else if (kind == BeginKind::Base64) {
        Base64LinesBody(in, out);
    } else {
        if (!in.Open(inPath)) {
            out.Close();
            return -1;
        }
        QpDecodeBody(in, out);
    }
    return FinishOutput(out);
}

std::string SafeTempName(std::string_view name) {
    std::size_t cut = name.find_last_of("/\\");
    if (cut != std::string_view::npos) name.remove_prefix(cut + 1);
    std::string out;
    out.reserve(name.size());
    for (char ch : name) {
        unsigned char c = static_cast<unsigned char>(ch);
        out.push_back(c < 0x20 || c == 0x7F || c == ':' ? '_' : ch);
    }
    if (out.find_first_not_of('.') == std::string::npos) return "UNKNOWN.DAT";
    if (out.front() == '.') out.front() = '_';
    if (out.size() > kMaxSafeNameLength) {
        // Keep a short extension so that the data file still says its type.
        std::size_t dot = out.rfind('.');
        std::string ext;
        if (dot != std::string::npos && out.size() - dot <= 16) ext = out.substr(dot);
        out = out.substr(0, kMaxSafeNameLength - ext.size()) + ext;
    }
    const std::string lower = platform::Lower(out);
    if (lower == kBodyFileName || lower == kQpFileName) out.insert(out.begin(), '_');
    return out;
}

std::string DecodeAttachment(const std::string& tempDir, const std::string& fileName,
                             std::string_view encoding) {
    const std::string body = tempDir + kBodyFileName;
    const std::string key = platform::Upper(platform::TrimBlanks(encoding));
    if (key == "QUOTED-PRINTABLE") {
        const std::string out = tempDir + kQpFileName;
        (void)DecodeFileA(body, out);
        return out;
    }
    if (key == "BASE64" || key == "UUCODE") {
        const std::string out = tempDir + SafeTempName(fileName);
        ::unlink(out.c_str());
        if (key == "BASE64")
            (void)DecodeBase64FileA(body, out);
        else
            (void)DecodeFileA(body, out);
        return out;
    }
    return body;
}

}  // namespace convert
