#include "linux/maildir/MaildirWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#ifdef __SSE2__
#include <emmintrin.h>
#endif

#include <algorithm>
#include <array>
#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/MailStore.h"
#include "platform/Text.h"
#include "linux/maildir/Mime.h"

namespace platform::maildir {
namespace {

constexpr std::size_t kChunk = 64 * 1024;

Status ErrnoOf(int err, const std::string& what) {
    Status st = Status::Error(Fail::Io, what + ": " + std::strerror(err));
    st.error = err;
    return st;
}

// GMime's base64 encoder, fed in pieces; lines of 76 characters end in LF.
class Base64Encoder {
  public:
    std::string_view Feed(std::string_view in) {
        out_.resize(GMIME_BASE64_ENCODE_LEN(in.size()) + 8);
        const std::size_t n = g_mime_encoding_base64_encode_step(
            reinterpret_cast<const unsigned char*>(in.data()), in.size(),
            reinterpret_cast<unsigned char*>(out_.data()), &state_, &save_);
        return Keep(n);
    }
    std::string_view Close() {
        out_.resize(16);
        const std::size_t n = g_mime_encoding_base64_encode_close(
            nullptr, 0, reinterpret_cast<unsigned char*>(out_.data()), &state_, &save_);
        std::string_view tail = Keep(n);
        if (any_ && last_ != '\n') {
            out_.assign(tail);
            out_ += '\n';
            return out_;
        }
        return tail;
    }

  private:
    std::string_view Keep(std::size_t n) {
        if (n > 0) {
            any_ = true;
            last_ = out_[n - 1];
        }
        return std::string_view(out_.data(), n);
    }
    std::string out_;
    int state_ = 0;
    guint32 save_ = 0;
    bool any_ = false;
    char last_ = 0;
};

std::string Base64Of(std::string_view data) {
    Base64Encoder enc;
    std::string out(enc.Feed(data));
    out += enc.Close();
    return out;
}

std::string HeadersOf(GMimeObject* obj) {
    char* h = g_mime_object_get_headers(obj, nullptr);
    std::string out = h ? h : "";
    g_free(h);
    return out;
}

std::string MimeTypeFor(const std::string& fileName) {
    std::string ext;
    std::size_t dot = fileName.find_last_of('.');
    if (dot != std::string::npos) ext = Lower(fileName.substr(dot + 1));
    if (ext == "tif" || ext == "tiff") return "image/tiff";
    if (ext == "jpg" || ext == "jpeg") return "image/jpeg";
    if (ext == "bmp") return "image/bmp";
    if (ext == "png") return "image/png";
    if (ext == "gif") return "image/gif";
    if (ext == "pdf") return "application/pdf";
    if (ext == "txt") return "text/plain";
    return "application/octet-stream";
}

// The headers of a leaf part whose content is written base64-encoded.
Ref<GMimeObject> LeafPart(const std::string& mimeType) {
    std::size_t slash = mimeType.find('/');
    GMimePart* part = g_mime_part_new_with_type(mimeType.substr(0, slash).c_str(),
                                                mimeType.substr(slash + 1).c_str());
    // base64 keeps every byte, CR LF and NUL included, through any mail tool.
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    return Ref<GMimeObject>(GMIME_OBJECT(part));
}

// Adds the mailboxes of a text; a text with no address in it becomes one
// mailbox: its display name (wholeAsName) or its address.
void AddAddresses(GMimeMessage* m, GMimeAddressType type, const std::string& text,
                  bool wholeAsName) {
    InternetAddressList* target = g_mime_message_get_addresses(m, type);
    std::string utf8 = AsUtf8(text);
    Ref<InternetAddressList> parsed(internet_address_list_parse(nullptr, utf8.c_str()));
    if (parsed && internet_address_list_length(parsed.get()) > 0 &&
        !FirstAddress(parsed.get()).empty()) {
        internet_address_list_append(target, parsed.get());
        return;
    }
    Ref<InternetAddress> mb(wholeAsName ? internet_address_mailbox_new(utf8.c_str(), "")
                                        : internet_address_mailbox_new("", utf8.c_str()));
    internet_address_list_add(target, mb.get());
}

void SetHeaders(GMimeMessage* m, const MessageDraft& d) {
    if (d.senderName && !d.senderName->empty())
        AddAddresses(m, GMIME_ADDRESS_TYPE_FROM, *d.senderName, true);
    for (const auto& r : d.recipients) {
        std::string addr = StripSmtpPrefix(r->address);
        if (addr.empty()) continue;
        GMimeAddressType t = r->type == 2   ? GMIME_ADDRESS_TYPE_CC
                             : r->type == 3 ? GMIME_ADDRESS_TYPE_BCC
                                            : GMIME_ADDRESS_TYPE_TO;
        AddAddresses(m, t, addr, false);
    }
    if (d.subject) g_mime_message_set_subject(m, AsUtf8(*d.subject).c_str(), "utf-8");
    if (d.note && !d.note->empty())
        g_mime_object_set_header(GMIME_OBJECT(m), kNoteHeader, AsUtf8(*d.note).c_str(), "utf-8");
    if (d.timeSent) {
        // The zero date reads back as itself in every zone.
        GDateTime* dt = *d.timeSent == kZeroDateUnix ? g_date_time_new_from_unix_utc(*d.timeSent)
                                                     : g_date_time_new_from_unix_local(*d.timeSent);
        if (dt) {
            g_mime_message_set_date(m, dt);
            g_date_time_unref(dt);
        }
    }
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    if (char* id = g_mime_utils_generate_message_id(host)) {
        g_mime_message_set_message_id(m, id);
        g_free(id);
    }
}

Ref<GMimeObject> TextPart(const std::string& text) {
    Ref<GMimeObject> part = LeafPart("text/plain");
    bool utf8 = g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
    g_mime_object_set_content_type_parameter(part.get(), "charset", utf8 ? "utf-8" : "iso-8859-1");
    g_mime_object_set_disposition(part.get(), "inline");
    return part;
}

Ref<GMimeObject> AttachmentPart(const AttachmentDraft& a) {
    std::string fileName = a.name.substr(0, a.name.find(';'));
    if (fileName.empty()) {
        std::size_t slash = a.source.find_last_of("/\\");
        fileName = slash == std::string::npos ? a.source : a.source.substr(slash + 1);
    }
    Ref<GMimeObject> part = LeafPart(MimeTypeFor(fileName));
    g_mime_object_set_disposition(part.get(), "attachment");
    if (!fileName.empty())
        g_mime_part_set_filename(GMIME_PART(part.get()), AsUtf8(fileName).c_str());
    g_mime_object_set_header(part.get(), kNameHeader, EncodeHeaderText(a.name).c_str(), nullptr);
    g_mime_object_set_header(part.get(), kSourceHeader, EncodeHeaderText(a.source).c_str(),
                             nullptr);
    return part;
}

// Writes the message file: its headers and text come from memory, each
// attachment's encoded content straight from the spool, one at a time.
// Attachments always sit in a multipart: the headers of a lone top part would
// be read as the message's own.
Status WriteMessage(int fd, const std::string& path, const MessageDraft& d) {
    Ref<GMimeMessage> m(g_mime_message_new(TRUE));
    SetHeaders(m.get(), d);
    const std::string text = d.text.value_or("");
    if (d.attachments.empty()) {
        Ref<GMimeObject> textPart = TextPart(text);
        g_mime_message_set_mime_part(m.get(), textPart.get());
        return WriteAll(fd, HeadersOf(GMIME_OBJECT(m.get())) + "\n" + Base64Of(text), path);
    }
    Ref<GMimeMultipart> mp(g_mime_multipart_new_with_subtype("mixed"));
    g_mime_multipart_set_boundary(mp.get(), nullptr);
    const std::string delimiter = std::string("--") + g_mime_multipart_get_boundary(mp.get());
    g_mime_message_set_mime_part(m.get(), GMIME_OBJECT(mp.get()));
    std::string head = HeadersOf(GMIME_OBJECT(m.get())) + "\n";
    if (d.text) {
        Ref<GMimeObject> textPart = TextPart(text);
        head += delimiter + "\n" + HeadersOf(textPart.get()) + "\n" + Base64Of(text);
    }
    if (Status st = WriteAll(fd, head, path); !st) return st;
    for (const auto& a : d.attachments) {
        Ref<GMimeObject> part = AttachmentPart(*a);
        if (Status st = WriteAll(fd, delimiter + "\n" + HeadersOf(part.get()) + "\n", path); !st)
            return st;
        if (a->content && d.spool)
            if (Status st = d.spool->CopyTo(*a->content, fd, path); !st) return st;
    }
    return WriteAll(fd, delimiter + "--\n", path);
}

// Writes the message to a new file at path and syncs it; mtime, when given,
// becomes the file's time.
Status WriteMessageFile(const MessageDraft& d, const std::string& path,
                        std::optional<std::int64_t> mtime) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot create " + path);
    Status result = WriteMessage(fd.get(), path, d);
    // The one sync of the message's content: it must be on the disk before
    // its name appears in new/, or a crash could leave an empty message there.
    if (result && ::fsync(fd.get()) != 0) result = ErrnoStatus(Fail::Io, "cannot sync " + path);
    if (result && mtime) {
        struct timespec ts[2];
        ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(*mtime);
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        if (::futimens(fd.get(), ts) != 0)
            result = ErrnoStatus(Fail::Io, "cannot set the time of " + path);
    }
    if (Status closed = fd.Close(path); result && !closed) result = closed;
    return result;
}

}  // namespace

namespace {

// The spool file of the last message, emptied. Each new file costs the file
// system an inode allocation, which becomes the largest single cost of a
// conversion once many files were deleted shortly before (as In/ files are
// during a run): the next message's spool in the same tmp/ takes this one.
struct SpareSpool {
    std::string tmpDir;
    UniqueFd fd;
};
SpareSpool& Spare() {
    static SpareSpool spare;
    return spare;
}

}  // namespace

PartSpool::~PartSpool() {
    if (!fd_ || ::ftruncate(fd_.get(), 0) != 0 || ::lseek(fd_.get(), 0, SEEK_SET) != 0) return;
    SpareSpool& spare = Spare();
    spare.tmpDir = tmpDir_;
    spare.fd = std::move(fd_);
}

Status PartSpool::Open() {
    if (fd_) return Status::Ok();
    if (SpareSpool& spare = Spare(); spare.fd && spare.tmpDir == tmpDir_) {
        fd_ = std::move(spare.fd);
        end_ = 0;
        return Status::Ok();
    }
    UniqueFd fd(::open(tmpDir_.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!fd) {
        std::string tmpl = tmpDir_ + "/.spool.XXXXXX";
        fd = UniqueFd(::mkostemp(tmpl.data(), O_CLOEXEC));
        if (!fd) return ErrnoStatus(Fail::Io, "cannot keep attachment data in " + tmpDir_);
        ::unlink(tmpl.c_str());
    }
    fd_ = std::move(fd);
    end_ = 0;
    return Status::Ok();
}

Status PartSpool::Append(std::string_view data) {
    if (data.empty()) return Status::Ok();
    if (Status st = WriteAll(fd_.get(), data, "attachment data in " + tmpDir_); !st) return st;
    end_ += static_cast<off_t>(data.size());
    return Status::Ok();
}

Result<SpoolRange> PartSpool::AddFile(const std::string& from) {
    Base64Encoder enc;
    return Fill(
        from, [&](std::string_view piece) { return Append(enc.Feed(piece)); },
        [&] { return Append(enc.Close()); });
}

Result<SpoolRange> PartSpool::Fill(const std::string& from,
                                   const std::function<Status(std::string_view)>& piece,
                                   const std::function<Status()>& end) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return ErrnoStatus(Fail::NotFound, "cannot open " + from);
    if (Status st = Open(); !st) return st;
    const off_t start = end_;
    std::string buf(kChunk, '\0');
    Status result = Status::Ok();
    for (;;) {
        ssize_t n = ::read(in.get(), buf.data(), buf.size());
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            result = ErrnoStatus(Fail::Io, "cannot read " + from);
            break;
        }
        result = n == 0 ? end() : piece(std::string_view(buf.data(), static_cast<std::size_t>(n)));
        if (!result || n == 0) break;
    }
    if (!result) {
        Rewind(start);
        return result;
    }
    return SpoolRange{start, end_ - start};
}

// What was appended belongs to no attachment: give the space back.
void PartSpool::Rewind(off_t offset) {
    if (::ftruncate(fd_.get(), offset) == 0 && ::lseek(fd_.get(), offset, SEEK_SET) == offset)
        end_ = offset;
}

namespace {

// Checks base64 text piece by piece as it is copied (see AddEncoded).
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
                if (nl && nl > p && AllAlphabet(p, static_cast<std::size_t>(nl - p))) {
                    count += static_cast<std::uint64_t>(nl - p);
                    p = nl + 1;
                    continue;
                }
            }
            // Runs of alphabet characters are the bulk of the rest.
            const unsigned char* run = p;
            while (run < end && kAlphabet[*run]) ++run;
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
    // Sixteen bytes at a time where the processor has SSE2: each byte must
    // fall in A-Z, a-z or 0-9 or be + or /.
    static bool AllAlphabet(const unsigned char* p, std::size_t n) {
        std::size_t i = 0;
#ifdef __SSE2__
        const auto in = [](__m128i x, char lo, char hi) {
            const __m128i d = _mm_sub_epi8(x, _mm_set1_epi8(lo));
            const __m128i span = _mm_set1_epi8(static_cast<char>(hi - lo));
            return _mm_cmpeq_epi8(_mm_min_epu8(d, span), d);  // d <= span, unsigned
        };
        for (; i + 16 <= n; i += 16) {
            const __m128i x = _mm_loadu_si128(reinterpret_cast<const __m128i*>(p + i));
            const __m128i ok = _mm_or_si128(
                _mm_or_si128(in(_mm_or_si128(x, _mm_set1_epi8(0x20)), 'a', 'z'), in(x, '0', '9')),
                _mm_or_si128(_mm_cmpeq_epi8(x, _mm_set1_epi8('+')),
                             _mm_cmpeq_epi8(x, _mm_set1_epi8('/'))));
            if (_mm_movemask_epi8(ok) != 0xffff) return false;
        }
#endif
        for (; i < n; ++i)
            if (!kAlphabet[p[i]]) return false;
        return true;
    }
    static constexpr std::array<bool, 256> kAlphabet = [] {
        std::array<bool, 256> t{};
        for (int c = 0; c < 256; ++c)
            t[c] = (c >= 'A' && c <= 'Z') || (c >= 'a' && c <= 'z') || (c >= '0' && c <= '9') ||
                   c == '+' || c == '/';
        return t;
    }();
    static constexpr std::size_t kMaxLine = 76;
    std::size_t line_ = 0;
    std::uint64_t count_ = 0;
    int pad_ = 0;
    bool emptySeen_ = false;
    bool closed_ = false;  // padding or a blank line seen: no more data
};

}  // namespace

Result<SpoolRange> PartSpool::AddEncoded(const std::string& from) {
    Base64Checker check;
    std::string out;
    out.reserve(kChunk);
    const auto notBase64 = [&] {
        return Status::Error(Fail::Format, from + " is not plain base64");
    };
    return Fill(
        from,
        [&](std::string_view piece) {
            bool same = false;
            out.clear();
            if (!check.Feed(piece, out, same)) return notBase64();
            return Append(same ? piece : std::string_view(out));
        },
        [&] {
            out.clear();
            return check.Finish(out) ? Append(out) : notBase64();
        });
}

Status PartSpool::CopyTo(const SpoolRange& r, int to, const std::string& path) const {
    off_t off = r.offset;
    off_t left = r.length;
    while (left > 0) {
        ssize_t n = ::copy_file_range(fd_.get(), &off, to, nullptr, static_cast<size_t>(left), 0);
        if (n < 0 && errno == EINTR) continue;
        if (n > 0) {
            left -= n;
            continue;
        }
        if (n == 0) return Status::Error(Fail::Io, "attachment data ended early for " + path);
        if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
            return ErrnoStatus(Fail::Io, "cannot write " + path);
        // No kernel copy between these files: read and write.
        std::string buf(kChunk, '\0');
        while (left > 0) {
            ssize_t got = ::pread(fd_.get(), buf.data(),
                                  static_cast<std::size_t>(std::min<off_t>(left, kChunk)), off);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return ErrnoOf(got < 0 ? errno : EIO, "cannot read attachment data");
            if (Status st =
                    WriteAll(to, std::string_view(buf.data(), static_cast<std::size_t>(got)), path);
                !st)
                return st;
            off += got;
            left -= got;
        }
    }
    return Status::Ok();
}

Status PartSpool::DecodeTo(const SpoolRange& r, int to, const std::string& path) const {
    std::string in(kChunk, '\0'), out(kChunk, '\0');
    int state = 0;
    guint32 save = 0;
    off_t off = r.offset;
    off_t left = r.length;
    while (left > 0) {
        ssize_t got = ::pread(fd_.get(), in.data(),
                              static_cast<std::size_t>(std::min<off_t>(left, kChunk)), off);
        if (got < 0 && errno == EINTR) continue;
        if (got <= 0) return ErrnoOf(got < 0 ? errno : EIO, "cannot read attachment data");
        const std::size_t n = g_mime_encoding_base64_decode_step(
            reinterpret_cast<const unsigned char*>(in.data()), static_cast<std::size_t>(got),
            reinterpret_cast<unsigned char*>(out.data()), &state, &save);
        if (Status st = WriteAll(to, std::string_view(out.data(), n), path); !st) return st;
        off += got;
        left -= got;
    }
    return Status::Ok();
}

Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const MessageDraft& draft,
                             bool syncFolder) {
    EnsureGMime();
    if (!IsMaildir(dir)) return Status::Error(Fail::NotFound, "no Maildir folder " + dir);
    std::int64_t received = draft.timeReceived.value_or(static_cast<std::int64_t>(::time(nullptr)));
    std::string base = UniqueName(received, ++store.counter);
    std::string tmpPath = dir + "/tmp/" + base;
    Entry at{draft.unread ? "new" : "cur", draft.unread ? base : base + ":2,S"};
    std::string finalPath = dir + "/" + at.sub + "/" + at.name;
    Status result = WriteMessageFile(draft, tmpPath, draft.timeReceived);
    if (result) {
        if (int err = RenameNoReplace(tmpPath, finalPath))
            result = ErrnoOf(err, "cannot deliver into " + dir);
    }
    if (!result) {
        ::unlink(tmpPath.c_str());
        return result;
    }
    if (!syncFolder) {
        store.unsynced[dir + "/" + at.sub].push_back(finalPath);
        return at;
    }
    // Until the folder is synced a crash may forget the new name: take the
    // message back rather than report it stored.
    if (Status synced = FsyncFolder(dir + "/" + at.sub); !synced) {
        ::unlink(finalPath.c_str());
        return synced;
    }
    return at;
}

Status SyncDelivered(StoreState& store, const std::string& dir) {
    Status result = Status::Ok();
    for (const char* sub : {"/new", "/cur"}) {
        auto it = store.unsynced.find(dir + sub);
        if (it == store.unsynced.end()) continue;
        const std::vector<std::string> paths = std::move(it->second);
        store.unsynced.erase(it);
        if (Status st = FsyncFolder(dir + sub); !st) {
            for (const auto& p : paths) ::unlink(p.c_str());
            if (result) result = st;
        }
    }
    return result;
}

std::string StripSmtpPrefix(const std::string& address) {
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

}  // namespace platform::maildir
