// The line-driven walker that turns one saved POP message into one inbox
// message: header block, one level of MIME parts, attachment bodies streamed
// to the body file and decoded, text kept for the message text.
#include "convert/MimeWalker.h"

#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <ctime>

#include "config/RunGlobals.h"
#include "convert/ByteScan.h"
#include "convert/Converter.h"
#include "convert/Decoders.h"
#include "convert/HeaderUtils.h"
#include "convert/MailDate.h"
#include "convert/PartsFile.h"
#include "platform/EventLoop.h"
#include "platform/FileStream.h"
#include "platform/Files.h"
#include "platform/MailStore.h"
#include "platform/Text.h"

namespace convert {
namespace {

constexpr const char* kCrLf = "\r\n";
// The walk yields to the event loop once per this much of the file: often
// enough for the loop's timers and sockets (well under a millisecond of
// work), seldom enough that its poll() does not cost more than the lines.
constexpr std::size_t kYieldBytes = 32 * 1024;
// A base64 part reaches the parts file in pieces of about this size.
constexpr std::size_t kDirectPiece = 64 * 1024;

// Walker states, numbered in the order a part passes through them. 0 follows
// a text part closed by the last boundary; 600 is never entered.
enum WalkState : int {
    kAfterTextPart = 0,
    kFirstBoundary = 100,
    kPartHeader = 200,
    kTextBody = 300,
    kPartDecision = 350,
    kAttachFirstLine = 400,
    kAttachBody = 500,
    kUnused = 600,
};

// Lines end at CR; an LF right after it is skipped, a lone LF stays in the
// line. A line longer than the piece limit comes out in pieces; only the
// last piece of a line has endsLine set.
class LineReader {
  public:
    LineReader(std::size_t bufferSize, std::size_t maxPiece)
        : in_(bufferSize), maxPiece_(maxPiece ? maxPiece : 1) {}

    bool Open(const std::string& path) { return in_.Open(path); }
    void DigestInto(platform::FileDigester* digest) { in_.DigestInto(digest); }
    bool ReadToEnd() { return in_.ReadToEnd(); }
    void Close() { in_.Close(); }
    bool AtEnd() { return in_.AtEnd(); }
    int Error() const { return in_.Error(); }
    // The bytes read ahead and not yet taken (refilled when none are left),
    // and taking the first n of them.
    std::string_view Buffered() { return in_.Available(); }
    void Take(std::size_t n) { in_.Skip(n); }

    bool Next(std::string& piece, bool& endsLine) {
        piece.clear();
        endsLine = true;
        if (in_.AtEnd()) return false;
        while (piece.size() < maxPiece_) {
            std::string_view chunk = in_.Available();
            if (chunk.empty()) return true;  // last line without a line end
            std::size_t room = maxPiece_ - piece.size();
            std::string_view look = chunk.substr(0, room);
            std::size_t cr = look.find('\r');
            if (cr != std::string_view::npos) {
                piece.append(look.substr(0, cr));
                in_.Skip(cr + 1);
                if (in_.Peek() == '\n') in_.Skip(1);
                return true;
            }
            piece.append(look);
            in_.Skip(look.size());
        }
        const int next = in_.Peek();
        if (next == '\r') {
            in_.Skip(1);
            if (in_.Peek() == '\n') in_.Skip(1);
        } else if (next >= 0) {
            endsLine = false;
        }
        return true;
    }

  private:
    platform::FileIn in_;
    std::size_t maxPiece_;
};

// Whether a line holds no '-' (so no boundary), CR or LF (so it is one line
// to the line reader too).
bool PlainLine(std::string_view line) {
#ifdef __SSE2__
    if (line.size() >= 16)
        return EverySixteen(line, [](__m128i x) {
            const __m128i hit = _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('-')),
                                             _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('\r')),
                                                          _mm_cmpeq_epi8(x, _mm_set1_epi8('\n'))));
            return _mm_movemask_epi8(hit) == 0;
        });
#endif
    return line.find_first_of("-\r\n") == std::string_view::npos;
}

bool EndsWith(std::string_view s, std::string_view tail) {
    return s.size() >= tail.size() && s.substr(s.size() - tail.size()) == tail;
}

class Walker {
  public:
    Walker(const Conversion& c, const WalkerLimits& limits, bool syncFolder)
        : c_(c),
          limits_(limits),
          syncFolder_(syncFolder),
          reader_(limits.readBuffer, limits.maxLinePiece),
          parts_(c.run.gTempDir + kPartsFileName) {}

    ConvertResult Run(const std::string& path);

  private:
    // Records the first failure and ends the walk: nothing is saved, so the
    // store holds no part of the message and its file stays for another run.
    void Fail(std::string what, int err) {
        if (!result_.what.empty()) return;
        result_.outcome = Outcome::NotStored;
        result_.what = std::move(what);
        result_.error = err;
        finished_ = true;
        reader_.Close();
        (void)bodyFile_.Close();
    }
    void FailWrite(const std::string& path, int err) {
        Fail("cannot write " + path + ": " + std::strerror(err), err);
    }
    // A write of the parts file that must work.
    bool Kept(const platform::Status& st) {
        if (!st) Fail(st.detail, st.error);
        return st.ok();
    }
    // A store operation that must work for the message to be complete.
    bool Check(const platform::Status& st, const std::string& what) {
        if (st) return true;
        Fail("not " + what + ": " + st.detail, st.error);
        return false;
    }
    void StartBodyFile(bool attachment = false);
    // A line of the attachment's body, into the parts file as it comes (a
    // base64 part) or into the body file.
    void WriteBody(std::string_view line, bool endsLine);
    void FlushDirect();
    std::size_t TakeBase64Lines();
    platform::Result<PartRange> EndDirect();
    void TakeBackDirect(PartRange text);
    bool Failed() const { return result_.outcome != Outcome::Stored; }
    void ReadHeaderBlock();
    void SetHeaderValues();
    bool Dispatch();  // true: handle the current (empty) line at once
    void MissingBoundary();
    void HandleLine(const std::string& line, bool endsLine, bool eof);
    void HandlePartState(const std::string& line, bool endsLine, bool eof);
    void PartHeaderLine(const std::string& line);
    void DecidePart();
    void EndTextPart();
    void SpillTextPart(const std::string& line, bool endsLine);
    void EndAttachment();
    void EndOfInput();
    void Finish();

    // Once a line does not fit, nothing more is kept: a dropped line must not
    // leave its line end behind, which would read as the end of the block.
    void AppendHeader(std::string_view s, bool endsLine) {
        if (headerFull_) return;
        if (header_.size() + s.size() + 2 > limits_.maxHeaderText) {
            headerFull_ = true;
            return;
        }
        header_.append(s);
        if (endsLine) header_.append(kCrLf);
    }
    std::string BodyPath() const { return c_.run.gTempDir + kBodyFileName; }
    void Pace(std::size_t bytes) {
        sinceYield_ += bytes + 2;
        if (sinceYield_ < kYieldBytes) return;
        sinceYield_ = 0;
        c_.loop.Yield();
    }

    const Conversion& c_;
    const WalkerLimits& limits_;
    bool syncFolder_;
    LineReader reader_;
    platform::FileDigester digest_;  // of the bytes reader_ reads
    // The message as it is built; stored whole when the walk finishes.
    platform::NewMessage msg_;
    PartsFile parts_;
    bool partsBegun_ = false;
    platform::FileOut bodyFile_;
    // The current base64 part goes straight into the parts file, checked as
    // it comes; not yet written there: directBuf_.
    bool direct_ = false;
    std::string directBuf_;

    std::string header_, body_, sender_, mainType_, boundary_, marker_;
    std::string partContentType_, partType_, majorType_, fileName_, encoding_, disposition_;
    int state_ = kAfterTextPart;
    std::size_t fileSize_ = 0;
    std::size_t attachments_ = 0;  // attachment parts met so far
    std::size_t skipped_ = 0;      // of them, left out beyond the cap
    bool skipping_ = false;        // the current attachment is left out
    std::string_view bodyLineEnd_ = kCrLf;
    ConvertResult result_;
    std::string path_;  // the message file
    bool headerFull_ = false;
    bool missingBoundary_ = false;
    std::size_t sinceYield_ = 0;  // bytes walked since the loop last ran
    bool textSet_ = false;
    bool finished_ = false;
};

ConvertResult Walker::Run(const std::string& path) {
    path_ = path;
    if (c_.inbox.empty()) {
        Fail("no inbox to store into", 0);
        return result_;
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) == 0) fileSize_ = static_cast<std::size_t>(st.st_size);
    result_.bytes = fileSize_;
    if (!reader_.Open(path)) {
        const int err = errno;
        Fail("cannot read " + path + ": " + std::strerror(err), err);
        return result_;
    }
    // The stored message names the file it came from (Finish): a run that
    // dies after storing it and before deleting the file finds it by this.
    reader_.DigestInto(&digest_);

    ReadHeaderBlock();
    SetHeaderValues();
    bool handleNow = Dispatch();
    marker_ = "--" + boundary_;
    if (handleNow && !finished_) HandleLine(std::string(), true, reader_.AtEnd());

    std::string line;
    bool endsLine = true;
    while (!finished_) {
        if (state_ == kAttachBody && direct_ && !skipping_) {
            if (const std::size_t taken = TakeBase64Lines()) {
                Pace(taken);
                continue;
            }
        }
        if (reader_.AtEnd()) {
            EndOfInput();
            break;
        }
        reader_.Next(line, endsLine);
        Pace(line.size());
        HandleLine(line, endsLine, reader_.AtEnd());
    }
    if (!finished_) Finish();
    if (!Failed()) result_.origin = msg_.origin;
    return result_;
}

void Walker::ReadHeaderBlock() {
    std::string line;
    bool endsLine = true;
    for (;;) {
        if (!reader_.Next(line, endsLine)) return;  // the header block ends with the file
        Pace(line.size());
        AppendHeader(line, endsLine);
        if (line.empty()) return;
    }
}

void Walker::SetHeaderValues() {
    const std::string from = GetHeaderField(header_, "From: ");
    std::string before;
    SplitAtFirst(from, " ", before, sender_);  // no blank: the whole value
    if (!sender_.empty() && sender_.front() == '<')
        sender_ = sender_.size() >= 2 ? sender_.substr(1, sender_.size() - 2) : std::string();
    // Without a subject the stored one reads "VOXA-FAX  From: sender", with
    // two blanks: the stand-in keeps a trailing blank of its own.
    std::string subject = GetHeaderField(header_, "Subject: ");
    if (subject.empty()) subject = "VOXA-FAX ";
    msg_.senderName = sender_;
    msg_.subject = subject + " From: " + sender_;
    msg_.timeReceived = static_cast<std::int64_t>(std::time(nullptr));
    msg_.timeSent = ParseMailDate(GetHeaderField(header_, "Date:"));
}

bool Walker::Dispatch() {
    const std::string ctValue = GetHeaderField(header_, "Content-Type:");
    std::string before, after;
    // Only a value with parameters names a main type: a bare
    // "application/octet-stream" is read as text like a message without one.
    if (SplitAtFirst(ctValue, ";", before, after)) mainType_ = platform::TrimBlanks(before);
    if (mainType_.empty()) mainType_ = "text/plain";
    mainType_ = platform::Lower(mainType_);

    if (mainType_ == "multipart/mixed" || mainType_ == "multipart/alternative") {
        // Searched in the whole header, not only in Content-Type: senders
        // that fold the parameter onto a line of its own are still read.
        const std::size_t p = platform::FindNoCase(header_, "boundary=");
        const std::size_t eol = p == std::string::npos ? p : header_.find(kCrLf, p);
        if (eol == std::string::npos) {
            MissingBoundary();
            return false;
        }
        const std::size_t start = p + 9;
        boundary_ = header_.substr(start, eol - start);
        if (!boundary_.empty() && boundary_.front() == '"')
            boundary_ =
                boundary_.size() >= 2 ? boundary_.substr(1, boundary_.size() - 2) : std::string();
        state_ = kFirstBoundary;
        return false;
    }
    if (mainType_ == "application/octet-stream") {
        partContentType_ = ctValue;
        SplitContentType(ctValue, partType_, fileName_);
        encoding_ = GetHeaderField(header_, "Content-Transfer-Encoding:");
        if (encoding_.empty()) {
            MissingBoundary();
            return false;
        }
        disposition_ = GetHeaderField(header_, "Content-Disposition:");
        if (platform::ContainsNoCase(disposition_, "filename"))
            fileName_ = GetListValue(disposition_, "filename", ";", false, &c_.loop);
        state_ = kPartDecision;
        return true;
    }
    if (fileSize_ > limits_.singlePartTextMax) {
        fileName_ = "UNKNOWN.TXT";
        partType_ = "text/plain";
        mainType_ = "application/octet-stream";
        state_ = kPartDecision;
        return true;
    }
    mainType_ = "text/plain";
    return false;
}

void Walker::MissingBoundary() {
    missingBoundary_ = true;
    // Kept even behind a full header: the inbox run must see the notice.
    header_.append(std::string(kMissingBoundaryField) + kCrLf);
    body_ = kMissingBoundaryNotice;
    fileName_ = "UNKNOWN.TXT";
    partType_ = "text/plain";
    mainType_ = "application/octet-stream";
    state_ = kPartDecision;
}

void Walker::HandleLine(const std::string& line, bool endsLine, bool eof) {
    if (mainType_ == "text/plain") {
        AppendHeader(line, endsLine);
        if (eof) {
            reader_.Close();
            msg_.text = header_ + kCrLf + kCrLf + body_;
            textSet_ = true;
            Finish();
        }
        return;
    }
    HandlePartState(line, endsLine, eof);
}

void Walker::HandlePartState(const std::string& line, bool endsLine, bool eof) {
    switch (state_) {
        case kFirstBoundary:
            if (endsLine && line == marker_) state_ = kPartHeader;
            break;
        case kPartHeader:
            if (line.empty()) {
                state_ = kPartDecision;
                DecidePart();
            } else {
                PartHeaderLine(line);
            }
            break;
        case kPartDecision:
            DecidePart();
            break;
        case kTextBody:
            if (line.find(marker_) == std::string::npos) {
                if (body_.size() + line.size() + 2 > limits_.maxTextPart) {
                    SpillTextPart(line, endsLine);
                } else {
                    body_.append(line);
                    if (endsLine) body_.append(kCrLf);
                }
                break;
            }
            EndTextPart();
            if (EndsWith(line, "--")) {
                state_ = kAfterTextPart;
            } else {
                state_ = kPartHeader;
                partContentType_.clear();
                encoding_.clear();
                disposition_.clear();
            }
            break;
        case kAttachFirstLine:
            StartBodyFile(true);
            if (finished_) break;
            if (!skipping_) WriteBody(line, endsLine);
            state_ = kAttachBody;
            break;
        case kAttachBody:
            if (line.find(marker_) == std::string::npos && !eof) {
                if (!skipping_) WriteBody(line, endsLine);
                break;
            }
            EndAttachment();
            if (finished_) break;
            if (EndsWith(line, "--") || eof)
                Finish();
            else
                state_ = kPartHeader;
            break;
        default:  // 0, 600 and anything else: the line is ignored
            break;
    }
}

void Walker::PartHeaderLine(const std::string& line) {
    std::string before, after;
    if (platform::ContainsNoCase(line, "Content-Type:")) {
        SplitAtFirst(line, ":", before, after);
        partContentType_ = after;
        SplitContentType(partContentType_, partType_, fileName_);
    }
    if (platform::ContainsNoCase(line, "Content-Transfer-Encoding:")) {
        SplitAtFirst(line, ":", before, after);
        encoding_ = after;
    }
    if (platform::ContainsNoCase(line, "Content-Disposition:")) {
        SplitAtFirst(line, ":", before, after);
        disposition_ = after;
        if (platform::ContainsNoCase(disposition_, "filename"))
            fileName_ = GetListValue(disposition_, "filename", ";", false, &c_.loop);
    }
}

void Walker::DecidePart() {
    if (fileName_.empty()) {
        if (platform::Lower(partType_) == "text/plain") {
            state_ = kTextBody;
            return;
        }
        std::string subtype;
        SplitAtFirst(partType_, "/", majorType_, subtype);  // no "/": major type kept
        if (platform::Upper(majorType_) == "IMAGE")
            fileName_ = "UNKNOWN." + platform::Upper(subtype.substr(0, 3));
        else
            fileName_ = "UNKNOWN.TXT";
        if (fileName_.empty()) fileName_ = "UNKNOWN.TIF";  // the last resort; not reached
    }
    StripEnclosing(fileName_, '"');
    state_ = kAttachFirstLine;
}

// The text is set, then set again behind one blank: the form every
// converted multipart text has (the journal check of Delivery.cpp allows for
// it), and the inbox run still finds the saved "+OK" line within the first 20
// characters. The last text part to end wins.
void Walker::EndTextPart() {
    msg_.text = header_ + kCrLf + kCrLf + body_;
    msg_.text->insert(0, 1, ' ');
    textSet_ = true;
    body_.clear();
}

// The text part is too large to hold: it continues as an attachment, with
// what was collected so far as its first lines.
void Walker::SpillTextPart(const std::string& line, bool endsLine) {
    StartBodyFile();
    if (finished_) return;
    if (!skipping_) {
        bodyFile_.Write(body_);
        bodyFile_.Write(line);
        if (endsLine) bodyFile_.Write(bodyLineEnd_);
    }
    body_.clear();
    body_.shrink_to_fit();
    fileName_ = "UNKNOWN.TXT";
    state_ = kAttachBody;
}

// Each attachment part goes through the one body file: it is written, closed,
// decoded and handed to the store before the next part begins, so a message
// of any number of parts holds no more than one file open at a time. A base64
// attachment goes straight into the parts file instead, as the store keeps
// it, and into the body file only when it turns out not to be well formed.
void Walker::StartBodyFile(bool attachment) {
    ++attachments_;
    skipping_ = attachments_ > limits_.maxAttachments;
    if (skipping_) {
        ++skipped_;
        return;
    }
    // Base64 ignores line ends; LF alone leaves its lines as the store keeps
    // them. Every other body keeps its CR LF.
    const bool base64 = platform::Upper(platform::TrimBlanks(encoding_)) == "BASE64";
    bodyLineEnd_ = base64 ? "\n" : kCrLf;
    if (attachment && base64) {
        if (!partsBegun_ && !Kept(parts_.Begin())) return;
        partsBegun_ = true;
        parts_.Base64Begin();
        direct_ = true;
        directBuf_.clear();
        // Room for a whole piece at once: growing it by doubling costs a copy
        // per step and, per message, fresh pages from the system.
        directBuf_.reserve(kDirectPiece + 1024);
        return;
    }
    if (!bodyFile_.Create(BodyPath())) FailWrite(BodyPath(), bodyFile_.Error());
}

void Walker::WriteBody(std::string_view line, bool endsLine) {
    if (!direct_) {
        bodyFile_.Write(line);
        if (endsLine) bodyFile_.Write(bodyLineEnd_);
        return;
    }
    directBuf_.append(line);
    if (endsLine) directBuf_ += '\n';
    if (directBuf_.size() >= kDirectPiece) FlushDirect();
}

// The bulk of a base64 attachment, taken from the read buffer a run of lines
// at a time rather than line by line: lines of up to 76 bytes ending in CR
// LF, with no '-', CR or LF in them, passed on as a line-by-line walk would
// pass them (the parts file checks their letters). Such a line can be
// neither a boundary nor the end of the part; one that might be the file's
// last line, or any other line, is left to the line-by-line walk. Returns
// the bytes taken.
std::size_t Walker::TakeBase64Lines() {
    constexpr std::size_t kMaxLine = 76;  // longer lines are not kept as they come
    const std::string_view ahead = reader_.Buffered();
    std::size_t at = 0;
    while (directBuf_.size() < kDirectPiece) {
        const std::string_view rest = ahead.substr(at);
        if (rest.size() < 4) break;  // no line with a byte after it: "x", CR LF, one more
        // Most lines have the full length: one look finds their end.
        std::size_t len = kMaxLine;
        if (rest.size() <= len + 2 || rest[len] != '\r' || rest[len + 1] != '\n') {
            const auto* nl = static_cast<const char*>(
                std::memchr(rest.data(), '\n', std::min(rest.size(), kMaxLine + 2)));
            if (!nl || nl == rest.data() || nl[-1] != '\r') break;
            len = static_cast<std::size_t>(nl - rest.data()) - 1;
        }
        if (len == 0 || len + 2 >= rest.size() || !PlainLine(rest.substr(0, len))) break;
        directBuf_.append(rest.data(), len);
        directBuf_ += '\n';
        at += len + 2;
    }
    reader_.Take(at);
    if (directBuf_.size() >= kDirectPiece) FlushDirect();
    return at;
}

void Walker::FlushDirect() {
    if (!direct_ || directBuf_.empty()) return;
    const platform::Status st = parts_.Base64Piece(directBuf_);
    if (st) {
        directBuf_.clear();
    } else if (st.kind == platform::Fail::Format) {
        TakeBackDirect(parts_.Base64Text());
    } else {
        Kept(st);
    }
}

// The end of a base64 part written straight into the parts file: its range
// there, or Fail::Format when it went into the body file after all.
platform::Result<PartRange> Walker::EndDirect() {
    FlushDirect();
    if (!direct_ || finished_) return platform::Status::Error(platform::Fail::Format, "");
    platform::Result<PartRange> kept = parts_.Base64End();
    if (!kept && kept.status().kind == platform::Fail::Format)
        TakeBackDirect(parts_.Base64Text());
    else if (!kept)
        Kept(kept.status());
    direct_ = false;
    return kept;
}

// Not well formed after all: the part's text so far goes from the parts file
// into the body file, to be decoded, and the rest follows it there.
void Walker::TakeBackDirect(PartRange text) {
    direct_ = false;
    if (!bodyFile_.Create(BodyPath())) return FailWrite(BodyPath(), bodyFile_.Error());
    if (!Kept(parts_.ReadRange(text, [this](std::string_view piece) { bodyFile_.Write(piece); })))
        return;
    bodyFile_.Write(directBuf_);
    directBuf_.clear();
    parts_.Rewind(text.offset);
}

void Walker::EndAttachment() {
    if (skipping_) {
        skipping_ = false;
        return;
    }
    // Well-formed base64 goes into the store as it came: the data file it
    // would decode to is named as the source but never written.
    const bool base64 = platform::Upper(platform::TrimBlanks(encoding_)) == "BASE64";
    const std::string data = base64 ? c_.run.gTempDir + SafeTempName(fileName_)
                                    : DataFilePath(c_.run.gTempDir, fileName_, encoding_);
    platform::NewAttachment att{fileName_ + ";", data, parts_.Path()};
    platform::Result<PartRange> kept = platform::Status::Error(platform::Fail::Format, "");
    if (direct_) {
        kept = EndDirect();
        if (finished_) return;
        att.base64 = kept.ok();
    }
    if (!kept) {
        if (!bodyFile_.Close()) return FailWrite(BodyPath(), bodyFile_.Error());
        if (!partsBegun_ && !Kept(parts_.Begin())) return;
        partsBegun_ = true;
        int err = 0;
        (void)DecodeAttachment(c_.run.gTempDir, fileName_, encoding_, &err);
        if (err) return FailWrite(data, err);
        kept = parts_.Append(data);
        if (!Kept(kept.status())) return;
    }
    att.offset = kept->offset;
    att.length = kept->length;
    msg_.attachments.push_back(std::move(att));
}

void Walker::EndOfInput() {
    if (mainType_ == "text/plain") {
        msg_.text = header_ + kCrLf + kCrLf + body_;
        textSet_ = true;
    } else if (state_ == kTextBody) {
        EndTextPart();  // a text part cut off by the end of the file is kept
    } else if (state_ == kAttachBody) {
        EndAttachment();
    }
    if (!finished_) Finish();
}

void Walker::Finish() {
    finished_ = true;
    // A read error looks like the end of the file: what was read so far must
    // not be stored as the whole message.
    if (const int err = reader_.Error(); err && !Failed())
        Fail("cannot read " + path_ + ": " + std::strerror(err), err);
    // The digest of the whole file: what the walk did not read (an epilogue,
    // the end marker) is read for it now.
    if (!Failed())
        msg_.origin =
            reader_.ReadToEnd() ? digest_.Final() : platform::FileDigest(path_).value_or("");
    reader_.Close();
    (void)bodyFile_.Close();
    if (Failed()) return;
    if (missingBoundary_ && !textSet_) msg_.text = header_ + kCrLf + kCrLf + kMissingBoundaryNotice;
    if (skipped_ > 0)
        msg_.note = std::to_string(skipped_) + " of " + std::to_string(attachments_) +
                    " attachment parts were left out: a message keeps at most " +
                    std::to_string(limits_.maxAttachments);
    // The subscriber's own address: the inbox run takes only messages
    // addressed to it for faxes.
    msg_.recipients.push_back({"SMTP:" + c_.subscriber, platform::RecipientKind::To});
    if (Check(c_.store.Store(c_.inbox, msg_).status(), "stored") && syncFolder_)
        (void)Check(c_.store.Sync(c_.inbox), "stored");
}

}  // namespace

ConvertResult ProcessMessageWith(const Conversion& c, const std::string& path,
                                 const WalkerLimits& limits, bool syncFolder) {
    try {
        Walker walker(c, limits, syncFolder);
        return walker.Run(path);
    } catch (...) {
        // Out of memory or a library throw: the draft is dropped unsaved and
        // the file stays for another run.
        return ConvertResult{
            Outcome::NotStored, "out of memory while converting " + path, ENOMEM, 0, {}};
    }
}

ConvertResult ProcessMessage(const Conversion& c, const std::string& path) {
    return ProcessMessageWith(c, path, WalkerLimits{});
}

}  // namespace convert
