#include "linux/maildir/MaildirReader.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <optional>

#include "linux/maildir/Mime.h"
#include "platform/Files.h"
#include "platform/Text.h"

namespace platform::maildir {
namespace {

struct HeaderBlock {
    std::string text;  // lines as in the file, each ending in LF
    bool truncated = false;
    off_t bodyOffset = 0;
};

// Files up to this size are read whole, in one read, and parsed from memory;
// larger ones are parsed from the file.
constexpr std::size_t kReadWhole = 8 * 1024 * 1024;
constexpr std::size_t kChunk = 64 * 1024;

// Finds the header block up to its empty line in data fed piece by piece,
// holding at most kMaxHeaderBlock bytes of it however long its lines are.
class HeaderScanner {
  public:
    explicit HeaderScanner(HeaderBlock& hb) : hb_(hb) {}
    // True once the empty line is found.
    bool Feed(const char* buf, std::size_t n) {
        for (std::size_t i = 0; i < n; ++i, ++pos_) {
            char c = buf[i];
            if (c != '\n') {
                if (cur_.size() < kMaxHeaderBlock)
                    cur_ += c;
                else
                    curOverflow_ = true;
                continue;
            }
            if (!curOverflow_ && (cur_.empty() || cur_ == "\r")) {
                hb_.bodyOffset = pos_ + 1;
                return true;
            }
            Keep();
            cur_.clear();
            curOverflow_ = false;
        }
        return false;
    }
    // No empty line: the whole file is header.
    void End() {
        if (!cur_.empty() || curOverflow_) Keep();
        hb_.bodyOffset = pos_;
    }

  private:
    void Keep() {
        if (!full_ && !curOverflow_ && hb_.text.size() + cur_.size() + 1 <= kMaxHeaderBlock) {
            hb_.text += cur_;
            hb_.text += '\n';
        } else {
            full_ = true;
            hb_.truncated = true;
        }
    }
    HeaderBlock& hb_;
    std::string cur_;
    bool curOverflow_ = false;
    bool full_ = false;
    off_t pos_ = 0;
};

bool ReadHeaderBlock(int fd, HeaderBlock& hb) {
    std::string buf(kChunk, '\0');
    HeaderScanner scan(hb);
    for (;;) {
        ssize_t n = ::read(fd, buf.data(), buf.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        if (scan.Feed(buf.data(), static_cast<std::size_t>(n))) return true;
    }
    scan.End();
    return true;
}

// Reads a whole file of at most kReadWhole bytes; false on a read error.
bool ReadSmallFile(int fd, std::size_t size, GByteArray* into) {
    g_byte_array_set_size(into, static_cast<guint>(size));
    std::size_t got = 0;
    while (got < size) {
        ssize_t n = ::read(fd, into->data + got, size - got);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return false;
        if (n == 0) break;
        got += static_cast<std::size_t>(n);
    }
    g_byte_array_set_size(into, static_cast<guint>(got));
    return true;
}

std::string WithCrLf(const std::string& lfText) {
    std::string out;
    out.reserve(lfText.size() + lfText.size() / 32);
    for (std::size_t i = 0; i < lfText.size(); ++i) {
        if (lfText[i] == '\n' && (i == 0 || lfText[i - 1] != '\r')) out += '\r';
        out += lfText[i];
    }
    return out;
}

void CollectLeaves(GMimeObject* obj, std::vector<GMimeObject*>& out, int depth) {
    if (!obj || depth > 64) return;
    if (GMIME_IS_MULTIPART(obj)) {
        GMimeMultipart* mp = GMIME_MULTIPART(obj);
        int n = g_mime_multipart_get_count(mp);
        for (int i = 0; i < n; ++i) CollectLeaves(g_mime_multipart_get_part(mp, i), out, depth + 1);
        return;
    }
    out.push_back(obj);
}

bool IsBodyText(GMimeObject* obj) {
    if (!GMIME_IS_PART(obj)) return false;
    GMimeContentType* ct = g_mime_object_get_content_type(obj);
    if (ct && !g_mime_content_type_is_type(ct, "text", "plain")) return false;
    if (g_mime_object_get_header(obj, kNameHeader)) return false;
    GMimeContentDisposition* cd = g_mime_object_get_content_disposition(obj);
    if (cd && g_mime_content_disposition_is_attachment(cd)) return false;
    return true;
}

// The content of a part, transfer-decoded, as a stream to read from.
GMimeStream* DecodedStream(GMimePart* part) {
    GMimeDataWrapper* w = g_mime_part_get_content(part);
    if (!w) return nullptr;
    GMimeStream* src = g_mime_data_wrapper_get_stream(w);
    if (!src) return nullptr;
    g_mime_stream_reset(src);
    GMimeStream* f = g_mime_stream_filter_new(src);
    GMimeContentEncoding enc = g_mime_data_wrapper_get_encoding(w);
    if (enc == GMIME_CONTENT_ENCODING_BASE64 || enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
        enc == GMIME_CONTENT_ENCODING_UUENCODE) {
        GMimeFilter* flt = g_mime_filter_basic_new(enc, FALSE);
        g_mime_stream_filter_add(GMIME_STREAM_FILTER(f), flt);
        g_object_unref(flt);
    }
    return f;
}

std::string ReadCapped(GMimeStream* s, std::size_t cap) {
    std::string out;
    char buf[65536];
    while (out.size() < cap) {
        ssize_t n = g_mime_stream_read(s, buf, std::min(sizeof buf, cap - out.size()));
        if (n <= 0) break;
        out.append(buf, static_cast<std::size_t>(n));
    }
    return out;
}

std::string PartFileName(GMimeObject* obj) {
    const char* fn = nullptr;
    if (GMIME_IS_PART(obj)) {
        fn = g_mime_part_get_filename(GMIME_PART(obj));
    } else {
        fn = g_mime_object_get_content_disposition_parameter(obj, "filename");
        if (!fn) fn = g_mime_object_get_content_type_parameter(obj, "name");
    }
    return fn ? fn : "";
}

void AddMailboxes(InternetAddressList* list, RecipientKind kind, std::vector<Recipient>& out,
                  int depth = 0) {
    if (!list || depth > 8) return;
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            AddMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), kind, out,
                         depth + 1);
        } else if (char* s = internet_address_to_string(ia, nullptr, FALSE)) {
            out.push_back(Recipient{s, kind});
            g_free(s);
        }
    }
}

// Opens and parses a message file and hands the result (nullptr when GMime
// made nothing of it) and its header block to fn.
template <class Fn>
Status WithParsedFile(const std::string& path, Fn fn) {
    EnsureGMime();
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return ErrnoStatus(Fail::NotFound, "cannot open message " + path);
    UniqueFd guard(fd);
    HeaderBlock hb;
    struct stat st {};
    if (::fstat(fd, &st) != 0) return ErrnoStatus(Fail::Io, "cannot read message " + path);
    Ref<GMimeStream> file;
    if (S_ISREG(st.st_mode) && static_cast<std::size_t>(st.st_size) <= kReadWhole) {
        // One read for the whole file; the parser then reads memory.
        GByteArray* bytes = g_byte_array_new();
        if (!ReadSmallFile(fd, static_cast<std::size_t>(st.st_size), bytes)) {
            const int err = errno;
            g_byte_array_unref(bytes);
            errno = err;
            return ErrnoStatus(Fail::Io, "cannot read message " + path);
        }
        HeaderScanner scan(hb);
        if (!scan.Feed(reinterpret_cast<const char*>(bytes->data), bytes->len)) scan.End();
        file.Reset(g_mime_stream_mem_new_with_byte_array(bytes));  // owns the bytes now
    } else {
        if (!ReadHeaderBlock(fd, hb)) return ErrnoStatus(Fail::Io, "cannot read message " + path);
        if (::lseek(fd, 0, SEEK_SET) < 0)
            return ErrnoStatus(Fail::Io, "cannot read message " + path);
        file.Reset(g_mime_stream_fs_new(guard.Release()));  // owns the fd now
    }
    Ref<GMimeStream> input;
    if (hb.truncated) {
        // GMime would hold an oversized header whole: give it the capped block
        // and the body behind the real one.
        std::string head = hb.text + "\n";
        Ref<GMimeStream> mem(g_mime_stream_mem_new_with_buffer(head.data(), head.size()));
        Ref<GMimeStream> body(g_mime_stream_substream(file.get(), hb.bodyOffset, -1));
        input.Reset(g_mime_stream_cat_new());
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(input.get()), mem.get());
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(input.get()), body.get());
    } else {
        input.Reset(GMIME_STREAM(g_object_ref(file.get())));
    }
    Ref<GMimeParser> parser(g_mime_parser_new_with_stream(input.get()));
    Ref<GMimeMessage> msg(g_mime_parser_construct_message(parser.get(), nullptr));
    fn(msg.get(), hb);
    return Status::Ok();
}

// GMime reads no dates before 1970; the zero date is one of those.
std::optional<std::int64_t> ParseOldDate(const char* text) {
    for (const char* fmt : {"%a, %d %b %Y %H:%M:%S %z", "%d %b %Y %H:%M:%S %z"}) {
        struct tm tmv {};
        const char* end = ::strptime(text, fmt, &tmv);
        if (!end) continue;
        std::int64_t offset = tmv.tm_gmtoff;
        return static_cast<std::int64_t>(::timegm(&tmv)) - offset;
    }
    return std::nullopt;
}

}  // namespace

Status ParseMessageFile(const std::string& path, StoredMessage& out,
                        std::vector<AttachmentPlace>& places) {
    return WithParsedFile(path, [&](GMimeMessage* msg, const HeaderBlock& hb) {
        out.header = WithCrLf(hb.text);
        if (!msg) return;
        GMimeObject* mo = GMIME_OBJECT(msg);
        if (const char* cls = g_mime_object_get_header(mo, "X-Message-Class")) {
            std::string t = Trim(cls);
            if (!t.empty()) out.type = t;
        }
        if (const char* s = g_mime_message_get_subject(msg)) out.subject = s;
        if (const char* n = g_mime_object_get_header(mo, kNoteHeader)) out.note = n;
        if (const char* o = g_mime_object_get_header(mo, kOriginHeader))
            out.origin = DecodeHeaderText(Trim(o));
        out.senderAddress = FirstAddress(g_mime_message_get_from(msg));
        const std::pair<GMimeAddressType, RecipientKind> kinds[] = {
            {GMIME_ADDRESS_TYPE_TO, RecipientKind::To},
            {GMIME_ADDRESS_TYPE_CC, RecipientKind::Cc},
            {GMIME_ADDRESS_TYPE_BCC, RecipientKind::Bcc}};
        for (const auto& [type, kind] : kinds)
            AddMailboxes(g_mime_message_get_addresses(msg, type), kind, out.recipients);
        std::optional<std::int64_t> date;
        if (GDateTime* d = g_mime_message_get_date(msg))
            date = g_date_time_to_unix(d);
        else if (const char* dateText = g_mime_object_get_header(mo, "Date"))
            date = ParseOldDate(dateText);
        if (date) out.timeSent = FormatStoreTime(*date);

        std::vector<GMimeObject*> leaves;
        CollectLeaves(g_mime_message_get_mime_part(msg), leaves, 0);
        bool haveText = false;
        for (std::size_t i = 0; i < leaves.size(); ++i) {
            GMimeObject* leaf = leaves[i];
            if (!haveText && IsBodyText(leaf)) {
                haveText = true;
                if (GMimeStream* s = DecodedStream(GMIME_PART(leaf))) {
                    out.text = ReadCapped(s, kMaxText);
                    g_object_unref(s);
                }
                continue;
            }
            AttachmentPlace a;
            a.leaf = i;
            // With the whole header block read, the parser's offsets are the
            // file's own. Uuencoded content needs its begin line found first,
            // which only the parser's own filter does.
            if (!hb.truncated && GMIME_IS_PART(leaf) &&
                g_mime_part_get_content_encoding(GMIME_PART(leaf)) !=
                    GMIME_CONTENT_ENCODING_UUENCODE) {
                GMimeDataWrapper* w = g_mime_part_get_content(GMIME_PART(leaf));
                GMimeStream* content = w ? g_mime_data_wrapper_get_stream(w) : nullptr;
                if (content && content->bound_start >= 0 && content->bound_end >= 0) {
                    a.start = content->bound_start;
                    a.end = content->bound_end;
                    a.encoding = static_cast<int>(g_mime_data_wrapper_get_encoding(w));
                }
            }
            const char* n = g_mime_object_get_header(leaf, kNameHeader);
            const char* s = g_mime_object_get_header(leaf, kSourceHeader);
            std::string fileName = PartFileName(leaf);
            out.attachments.push_back(
                Attachment{n ? DecodeHeaderText(n) : fileName, s ? DecodeHeaderText(s) : fileName});
            places.push_back(a);
        }
    });
}

namespace {

// Writes the decoded content of leaf part `leaf` to dest (replacing it).
Status WriteLeafToFile(const std::string& path, std::size_t leaf, const std::string& dest) {
    Status result = Status::Error(Fail::NotFound, "attachment is gone from " + path);
    Status opened = WithParsedFile(path, [&](GMimeMessage* msg, const HeaderBlock&) {
        if (!msg) return;
        std::vector<GMimeObject*> leaves;
        CollectLeaves(g_mime_message_get_mime_part(msg), leaves, 0);
        if (leaf >= leaves.size()) return;
        UniqueFd fd = OpenToOverwrite(dest);
        if (!fd) {
            result = ErrnoStatus(Fail::Io, "cannot create " + dest);
            return;
        }
        ssize_t n = 0;
        bool flushed = false;
        {
            Ref<GMimeStream> out(g_mime_stream_fs_new(fd.get()));
            g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
            GMimeObject* obj = leaves[leaf];
            if (GMIME_IS_PART(obj)) {
                GMimeDataWrapper* w = g_mime_part_get_content(GMIME_PART(obj));
                n = w ? g_mime_data_wrapper_write_to_stream(w, out.get()) : 0;
            } else if (GMIME_IS_MESSAGE_PART(obj)) {
                GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
                n = inner ? g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out.get())
                          : 0;
            }
            flushed = g_mime_stream_flush(out.get()) == 0;
        }
        // A full disk may only show when the file is closed.
        Status closed = CutAtOffset(fd.get(), dest);
        if (Status c = fd.Close(dest); closed && !c) closed = c;
        if (n < 0 || !flushed)
            result = Status::Error(Fail::Io, "cannot write " + dest);
        else
            result = closed;
    });
    if (!opened) return opened;
    return result;
}

}  // namespace

Status WriteAttachmentToFile(const std::string& path, const AttachmentPlace& a,
                             const std::string& dest) {
    if (a.start < 0 || a.end < a.start) return WriteLeafToFile(path, a.leaf, dest);
    UniqueFd in(::open(path.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return ErrnoStatus(Fail::NotFound, "cannot open message " + path);
    UniqueFd out = OpenToOverwrite(dest);
    if (!out) return ErrnoStatus(Fail::Io, "cannot create " + dest);
    const auto enc = static_cast<GMimeContentEncoding>(a.encoding);
    const bool decode = enc == GMIME_CONTENT_ENCODING_BASE64 ||
                        enc == GMIME_CONTENT_ENCODING_QUOTEDPRINTABLE ||
                        enc == GMIME_CONTENT_ENCODING_UUENCODE;
    GMimeEncoding state;
    if (decode) g_mime_encoding_init_decode(&state, enc);
    std::string buf(kChunk, '\0'), decoded;
    off_t off = a.start;
    for (;;) {
        const std::size_t want = static_cast<std::size_t>(std::min<off_t>(a.end - off, kChunk));
        ssize_t n = want ? ::pread(in.get(), buf.data(), want, off) : 0;
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) return ErrnoStatus(Fail::Io, "cannot read message " + path);
        off += n;
        const bool last = n == 0;
        std::string_view piece(buf.data(), static_cast<std::size_t>(n));
        if (decode) {
            decoded.resize(g_mime_encoding_outlen(&state, piece.size()) + 16);
            const std::size_t made =
                last ? g_mime_encoding_flush(&state, piece.data(), piece.size(), decoded.data())
                     : g_mime_encoding_step(&state, piece.data(), piece.size(), decoded.data());
            piece = std::string_view(decoded.data(), made);
        }
        if (Status st = WriteAll(out.get(), piece, dest); !st) return st;
        if (last) break;
    }
    if (Status st = CutAtOffset(out.get(), dest); !st) return st;
    // A full disk may only show when the file is closed.
    return out.Close(dest);
}

}  // namespace platform::maildir
