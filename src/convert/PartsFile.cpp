// The parts file of a conversion, and the check that lets base64 parts in
// as they came.
#include "convert/PartsFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstdint>
#include <cstring>
#include <functional>

#include "convert/ByteScan.h"

namespace convert {
namespace {

using platform::Fail;
using platform::Status;

constexpr std::array<bool, 256> kBase64Letters = [] {
    std::array<bool, 256> t{};
    for (int c = 0; c < 256; ++c)
        t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
               c == '+' || c == '/';
    return t;
}();

// Whether every byte of the text is a base64 letter (A-Z, a-z, 0-9, +, /);
// text shorter than sixteen bytes goes through the table.
bool IsBase64Alphabet(std::string_view text) {
#ifdef __SSE2__
    if (text.size() >= 16)
        return EverySixteen(text, [](__m128i x) {
            const auto in = [](__m128i v, char lo, char hi) {
                const __m128i d = _mm_sub_epi8(v, _mm_set1_epi8(lo));
                const __m128i span = _mm_set1_epi8(static_cast<char>(hi - lo));
                return _mm_cmpeq_epi8(_mm_min_epu8(d, span), d);  // d <= span, unsigned
            };
            const __m128i ok = _mm_or_si128(
                _mm_or_si128(in(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z'), in(x, '0', '9')),
                _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('+')),
                             _mm_cmpeq_epi8(x, _mm_set1_epi8('/'))));
            return _mm_movemask_epi8(ok) == 0xffff;
        });
#endif
    for (unsigned char c : text)
        if (!kBase64Letters[c]) return false;
    return true;
}

}  // namespace

// Checks base64 text piece by piece as it is appended (see Base64Begin).
class Base64Checker {
  public:
    // False once the text is not in the kept form. A CR is taken only before
    // LF (or at the end of a piece, its LF in the next one). `same` tells
    // that the piece is already as the message file keeps it (LF line ends,
    // no blank line); otherwise its lines are appended to out in that form.
    bool Feed(std::string_view in, std::string& out, bool& same) {
        const auto* const begin = reinterpret_cast<const unsigned char*>(in.data());
        const auto* const end = begin + in.size();
        const std::size_t lineAtStart = line_;
        std::size_t line = line_;
        std::uint64_t count = count_;
        same = true;
        for (const unsigned char* p = begin; p < end;) {
            // Nearly all of the text is whole lines of alphabet characters
            // ending in LF: found with memchr and checked without a branch a
            // byte. Anything else (CR, padding, a blank or long line, a line
            // cut by the end of the piece) takes the careful way below.
            if (line == 0 && !closed_) {
                const std::size_t reach = std::min<std::size_t>(end - p, kMaxLine + 1);
                const auto* nl = static_cast<const unsigned char*>(std::memchr(p, '\n', reach));
                if (nl && nl > p &&
                    IsBase64Alphabet(std::string_view(reinterpret_cast<const char*>(p),
                                                      static_cast<std::size_t>(nl - p)))) {
                    count += static_cast<std::uint64_t>(nl - p);
                    p = nl + 1;
                    continue;
                }
            }
            // Runs of alphabet characters are the bulk of the rest.
            const unsigned char* run = p;
            while (run < end && kBase64Letters[*run]) ++run;
            if (run > p) {
                line += static_cast<std::size_t>(run - p);
                count += static_cast<std::uint64_t>(run - p);
                if (closed_ || line > kMaxLine) return false;
                p = run;
                if (p == end) break;
            }
            const unsigned char c = *p++;
            if (c == '\n') {
                if (line == 0) {
                    emptySeen_ = closed_ = true;
                    same = false;
                }
                line = 0;
                continue;
            }
            if (c == '\r') {
                if (p < end && *p != '\n') return false;
                same = false;
                continue;
            }
            if (c != '=' || emptySeen_ || ++line > kMaxLine) return false;
            // Padding stands at the third or fourth place of the last group.
            const int place = static_cast<int>(count % 4);
            if (place < 2 || (pad_ > 0 && place != 3)) return false;
            ++pad_;
            closed_ = true;
            ++count;
        }
        line_ = line;
        count_ = count;
        if (!same) {
            line = lineAtStart;
            for (const unsigned char* p = begin; p < end; ++p) {
                if (*p == '\r') continue;
                if (*p == '\n') {
                    if (line > 0) out += '\n';
                    line = 0;
                    continue;
                }
                out += static_cast<char>(*p);
                ++line;
            }
        }
        return true;
    }
    bool Finish(std::string& out) {
        if (line_ > 0) out += '\n';
        return count_ % 4 == 0;
    }

  private:
    static constexpr std::size_t kMaxLine = 76;
    std::size_t line_ = 0;
    std::uint64_t count_ = 0;
    int pad_ = 0;
    bool emptySeen_ = false;
    bool closed_ = false;  // padding or a blank line seen: no more data
};

namespace {

constexpr std::size_t kChunk = 64 * 1024;

// Reads the file in chunks, handing each to `piece` and then calling `end`.
Status ReadInChunks(const std::string& from, const std::function<Status(std::string_view)>& piece,
                    const std::function<Status()>& end) {
    platform::UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return platform::ErrnoStatus(Fail::NotFound, "cannot open " + from);
    std::string buf(kChunk, '\0');
    for (;;) {
        ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return platform::ErrnoStatus(Fail::Io, "cannot read " + from);
        if (n == 0) return end();
        if (Status st = piece(std::string_view(buf.data(), static_cast<std::size_t>(n))); !st)
            return st;
    }
}

}  // namespace

PartsFile::PartsFile(std::string path) : path_(std::move(path)) {}
PartsFile::~PartsFile() = default;

// The file is written over from its start rather than emptied: only the
// ranges appended are ever read, and emptying it would cost a wait for its
// write-back on a busy disk (see platform::OpenToOverwrite).
Status PartsFile::Begin() {
    end_ = 0;
    if (fd_) return Status::Ok();
    fd_ =
        platform::UniqueFd(::open(path_.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_CLOEXEC, 0600));
    if (!fd_) return platform::ErrnoStatus(Fail::Io, "cannot create " + path_);
    return Status::Ok();
}

Status PartsFile::Write(std::string_view data) {
    if (data.empty()) return Status::Ok();
    if (!fd_) return Status::Error(Fail::Internal, path_ + " is not open");
    while (!data.empty()) {
        const ssize_t n = ::pwrite(fd_.get(), data.data(), data.size(), end_);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return platform::ErrnoStatus(Fail::Io, "cannot write " + path_);
        end_ += n;
        data.remove_prefix(static_cast<std::size_t>(n));
    }
    return Status::Ok();
}

// What was appended belongs to no part: give the space back.
void PartsFile::Rewind(off_t offset) {
    end_ = offset;
}

platform::Result<PartRange> PartsFile::Append(const std::string& from) {
    const off_t start = end_;
    Status st = ReadInChunks(
        from, [&](std::string_view piece) { return Write(piece); }, [] { return Status::Ok(); });
    if (!st) {
        Rewind(start);
        return st;
    }
    return PartRange{start, end_ - start};
}

void PartsFile::Base64Begin() {
    base64Start_ = end_;
    checker_ = std::make_unique<Base64Checker>();
}

Status PartsFile::Base64Piece(std::string_view piece) {
    bool same = false;
    scratch_.clear();
    if (!checker_ || !checker_->Feed(piece, scratch_, same))
        return Status::Error(Fail::Format, "not plain base64");
    return Write(same ? piece : std::string_view(scratch_));
}

platform::Result<PartRange> PartsFile::Base64End() {
    scratch_.clear();
    if (!checker_ || !checker_->Finish(scratch_))
        return Status::Error(Fail::Format, "not plain base64");
    checker_.reset();
    if (Status st = Write(scratch_); !st) return st;
    return Base64Text();
}

Status PartsFile::ReadRange(PartRange range,
                            const std::function<void(std::string_view)>& to) const {
    std::string buf(kChunk, '\0');
    for (off_t at = range.offset, end = range.offset + range.length; at < end;) {
        const auto want = static_cast<std::size_t>(std::min<off_t>(end - at, kChunk));
        const ssize_t n = ::pread(fd_.get(), buf.data(), want, at);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return platform::ErrnoStatus(Fail::Io, "cannot read " + path_);
        to(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        at += n;
    }
    return Status::Ok();
}

}  // namespace convert
