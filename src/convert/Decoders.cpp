#include "convert/Decoders.h"

#include <gmime/gmime-encodings.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>

#include "platform/FileStream.h"
#include "platform/Text.h"

namespace convert {
namespace {

constexpr std::size_t kMaxUuLine = 1024;  // longer lines are cut: no uu line comes near it

// One of GMime's decoding state machines, fed in pieces of any size through a
// fixed buffer; what it decodes goes to the output file.
class GMimeDecoder {
  public:
    using Step = std::size_t (*)(const unsigned char*, std::size_t, unsigned char*, int*, guint32*);
    GMimeDecoder(Step step, platform::FileOut& out, int state = 0)
        : step_(step), out_(out), state_(state) {}

    void Feed(std::string_view in) {
        while (!in.empty()) {
            const std::size_t n = std::min(in.size(), kPiece);
            const std::size_t made = step_(reinterpret_cast<const unsigned char*>(in.data()), n,
                                           buf_.data(), &state_, &save_);
            out_.Write(std::string_view(reinterpret_cast<const char*>(buf_.data()), made));
            in.remove_prefix(n);
        }
    }
    int state() const { return state_; }
    guint32 save() const { return save_; }

  private:
    // A step writes at most three bytes more than it reads (an "=X" held over
    // from the piece before comes out with the next byte).
    static constexpr std::size_t kPiece = 16 * 1024;
    Step step_;
    platform::FileOut& out_;
    int state_;
    guint32 save_ = 0;
    std::array<unsigned char, kPiece + 8> buf_;
};

// Base64 as in MIME. GMime counts characters outside the alphabet as nothing
// and takes any "=" as the end of the data. Here an "=" ends the data only
// where padding can stand (after two or three characters of a group): a stray
// one is skipped. A group left unfinished at the end gives the bytes it holds,
// as if padded.
class Base64Decoder {
  public:
    explicit Base64Decoder(platform::FileOut& out)
        : dec_(g_mime_encoding_base64_decode_step, out) {}

    // False once padding has ended the data.
    bool Feed(std::string_view in) {
        while (!ended_ && !in.empty()) {
            const std::size_t eq = in.find('=');
            dec_.Feed(in.substr(0, eq));
            if (eq == std::string_view::npos) break;
            EndIfPadding();
            in.remove_prefix(eq + 1);
        }
        return !ended_;
    }
    void Finish() {
        if (!ended_) EndIfPadding();
        ended_ = true;
    }

  private:
    // GMime's state is the number of characters of the group in hand.
    void EndIfPadding() {
        if (dec_.state() < 2) return;
        dec_.Feed("=");
        ended_ = true;
    }
    GMimeDecoder dec_;
    bool ended_ = false;
};

// Quoted-printable on GMime's decoder, which leaves line ends and padding as
// they come. Here blanks at the end of a line are transport padding and are
// dropped (a bounded run of them is held back to find out whether a line end
// follows; "=" with blanks behind it then ends in a line end, a soft break), a
// CR with or without its LF is a hard break and comes out as CR LF, and an "="
// or "=X" that the input ends with is kept as text.
class QpDecoder {
  public:
    explicit QpDecoder(platform::FileOut& out)
        : out_(out), dec_(g_mime_encoding_quoted_decode_step, out) {}

    void Feed(std::string_view in) {
        for (char c : in) {
            if (afterCr_) {
                afterCr_ = false;
                if (c == '\n') continue;
            }
            if (c == ' ' || c == '\t') {
                if (held_ == blanks_.size()) FlushBlanks();
                blanks_[held_++] = c;
            } else if (c == '\r' || c == '\n') {
                held_ = 0;
                if (c == '\r') Put('\r');
                Put('\n');
                afterCr_ = c == '\r';
            } else {
                FlushBlanks();
                Put(c);
            }
        }
    }
    void Finish() {
        // Blanks at the very end are padding too.
        Drain();
        if (dec_.state() == 1) out_.Put('=');
        if (dec_.state() == 2) {
            out_.Put('=');
            out_.Put(static_cast<char>(dec_.save()));
        }
    }

  private:
    void Put(char c) {
        if (staged_ == stage_.size()) Drain();
        stage_[staged_++] = c;
    }
    void Drain() {
        dec_.Feed(std::string_view(stage_.data(), staged_));
        staged_ = 0;
    }
    void FlushBlanks() {
        for (std::size_t i = 0; i < held_; ++i) Put(blanks_[i]);
        held_ = 0;
    }
    platform::FileOut& out_;
    GMimeDecoder dec_;
    std::array<char, 4096> blanks_;
    std::size_t held_ = 0;
    std::array<char, 16 * 1024> stage_;
    std::size_t staged_ = 0;
    bool afterCr_ = false;
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

int FinishOutput(platform::FileOut& out, int* error) {
    if (out.Close()) return 0;
    if (error) *error = out.Error();
    return -2;
}

int OpenFailed(int* error) {
    if (error) *error = errno ? errno : EIO;
    return -1;
}

// Decodes uuencoded lines up to "end" (or a zero-length line). Each line goes
// to GMime exactly as long as its length character says, within what the line
// holds: blanks lost from its end in transit read as zero again, and
// characters beyond the length are ignored. GMime on its own would carry a
// short line's last group over into the next line.
void UuDecodeBody(platform::FileIn& in, platform::FileOut& out) {
    GMimeDecoder dec(g_mime_encoding_uudecode_step, out, GMIME_UUDECODE_STATE_BEGIN);
    std::string line, exact;
    while (ReadLine(in, line, kMaxUuLine)) {
        if (line == "end") break;
        if (line.empty()) continue;
        std::size_t n = (line[0] - ' ') & 0x3F;
        if (n == 0) break;
        // A line never gives more than one group beyond the characters it has.
        const std::size_t chars = line.size() - 1;
        n = std::min(n, (chars / 4 + 1) * 3);
        const std::size_t groupChars = (n + 2) / 3 * 4;
        exact.assign(1, static_cast<char>(' ' + n));
        exact.append(line, 1, std::min(chars, groupChars));
        exact.resize(1 + groupChars, ' ');
        exact.push_back('\n');
        dec.Feed(exact);
    }
}

void Base64LinesBody(platform::FileIn& in, platform::FileOut& out) {
    std::string line;
    Base64Decoder b64(out);
    while (ReadLine(in, line, kMaxUuLine) && line != "====")
        if (!b64.Feed(line)) break;
    b64.Finish();
}

void QpDecodeBody(platform::FileIn& in, platform::FileOut& out) {
    QpDecoder qp(out);
    for (std::string_view chunk = in.Available(); !chunk.empty(); chunk = in.Available()) {
        qp.Feed(chunk);
        in.Skip(chunk.size());
    }
    qp.Finish();
}

}  // namespace

std::int32_t DecodeBase64FileA(const std::string& inPath, const std::string& outPath, int* error) {
    platform::FileIn in;
    if (!in.Open(inPath)) return OpenFailed(error);
    platform::FileOut out;
    if (!out.Create(outPath)) return OpenFailed(error);
    Base64Decoder b64(out);
    for (std::string_view chunk = in.Available(); !chunk.empty(); chunk = in.Available()) {
        in.Skip(chunk.size());
        if (!b64.Feed(chunk)) break;
    }
    b64.Finish();
    return FinishOutput(out, error);
}

std::int32_t DecodeFileA(const std::string& inPath, const std::string& outPath, int* error) {
    platform::FileIn in;
    if (!in.Open(inPath)) return OpenFailed(error);
    // First pass: is there a begin line? The body is read again either way.
    std::string line;
    BeginKind kind = BeginKind::None;
    while (ReadLine(in, line, kMaxUuLine))
        if ((kind = BeginLine(line)) != BeginKind::None) break;
    platform::FileOut out;
    if (!out.Create(outPath)) return OpenFailed(error);
    if (kind == BeginKind::Uu) {
        UuDecodeBody(in, out);
    } else if (kind == BeginKind::Base64) {
        Base64LinesBody(in, out);
    } else {
        if (!in.Open(inPath)) {
            out.Close();
            return OpenFailed(error);
        }
        QpDecodeBody(in, out);
    }
    return FinishOutput(out, error);
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
    if (lower == kBodyFileName || lower == kQpFileName || lower == kPartsFileName)
        out.insert(out.begin(), '_');
    return out;
}

std::string DataFilePath(const std::string& tempDir, const std::string& fileName,
                         std::string_view encoding) {
    const std::string key = platform::Upper(platform::TrimBlanks(encoding));
    if (key == "QUOTED-PRINTABLE") return tempDir + kQpFileName;
    if (key == "BASE64" || key == "UUCODE") return tempDir + SafeTempName(fileName);
    return tempDir + kBodyFileName;
}

std::string DecodeAttachment(const std::string& tempDir, const std::string& fileName,
                             std::string_view encoding, int* error) {
    const std::string body = tempDir + kBodyFileName;
    const std::string key = platform::Upper(platform::TrimBlanks(encoding));
    if (key == "QUOTED-PRINTABLE") {
        const std::string out = tempDir + kQpFileName;
        (void)DecodeFileA(body, out, error);
        return out;
    }
    if (key == "BASE64" || key == "UUCODE") {
        const std::string out = tempDir + SafeTempName(fileName);
        ::unlink(out.c_str());
        if (key == "BASE64")
            (void)DecodeBase64FileA(body, out, error);
        else
            (void)DecodeFileA(body, out, error);
        return out;
    }
    return body;
}

}  // namespace convert
