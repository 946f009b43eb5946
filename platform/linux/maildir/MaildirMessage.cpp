#include "platform/linux/maildir/MaildirMessage.h"

#include <fcntl.h>
#include <gmime/gmime.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <mutex>

#include "platform/Files.h"
#include "platform/Text.h"
#include "platform/linux/maildir/MaildirFs.h"
#include "platform/linux/maildir/MaildirStore.h"

namespace platform::maildir {
namespace {

constexpr const char* kNameHeader = "X-VF-Attachment-Name";
constexpr const char* kSourceHeader = "X-VF-Attachment-Source";

// Releases a GObject reference at scope end.
template <class T>
struct Ref {
    T* p = nullptr;
    Ref() = default;
    explicit Ref(T* v) : p(v) {}
    Ref(const Ref&) = delete;
    Ref& operator=(const Ref&) = delete;
    ~Ref() {
        if (p) g_object_unref(p);
    }
    T* get() const { return p; }
    explicit operator bool() const { return p != nullptr; }
};

// GMime wants UTF-8 for header texts; our texts are bytes, most often
// Latin-1 when they are not UTF-8 already.
std::string AsUtf8(const std::string& s) {
    if (g_utf8_validate(s.data(), static_cast<gssize>(s.size()), nullptr)) return s;
    return Latin1ToUtf8(s);
}

std::string StripSmtpPrefix(const std::string& address) {
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

// --- reading -----------------------------------------------------------

struct HeaderBlock {
    std::string text;  // lines as in the file, each ending in LF
    bool truncated = false;
    off_t bodyOffset = 0;
};

// Reads the header block up to its empty line, holding at most
// kMaxHeaderBlock bytes of it however long its lines are.
bool ReadHeaderBlock(int fd, HeaderBlock& hb) {
    char buf[65536];
    std::string cur;
    bool curOverflow = false;
    bool full = false;
    off_t pos = 0;
    for (;;) {
        ssize_t n = ::read(fd, buf, sizeof buf);
        if (n < 0) {
            if (errno == EINTR) continue;
            return false;
        }
        if (n == 0) break;
        for (ssize_t i = 0; i < n; ++i, ++pos) {
            char c = buf[i];
            if (c != '\n') {
                if (cur.size() < kMaxHeaderBlock)
                    cur += c;
                else
                    curOverflow = true;
                continue;
            }
            if (!curOverflow && (cur.empty() || cur == "\r")) {
                hb.bodyOffset = pos + 1;
                return true;
            }
            if (!full && !curOverflow && hb.text.size() + cur.size() + 1 <= kMaxHeaderBlock) {
                hb.text += cur;
                hb.text += '\n';
            } else {
                full = true;
                hb.truncated = true;
            }
            cur.clear();
            curOverflow = false;
        }
    }
    // No empty line: the whole file is header.
    if (!cur.empty() || curOverflow) {
        if (!full && !curOverflow && hb.text.size() + cur.size() + 1 <= kMaxHeaderBlock) {
            hb.text += cur;
            hb.text += '\n';
        } else {
            hb.truncated = true;
        }
    }
    hb.bodyOffset = pos;
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

void AddMailboxes(InternetAddressList* list, std::vector<std::string>& out, int depth = 0) {
    if (!list || depth > 8) return;
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            AddMailboxes(internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), out,
                         depth + 1);
        } else if (char* s = internet_address_to_string(ia, nullptr, FALSE)) {
            out.emplace_back(s);
            g_free(s);
        }
    }
}

std::string FirstAddress(InternetAddressList* list, int depth = 0) {
    if (!list || depth > 8) return {};
    int n = internet_address_list_length(list);
    for (int i = 0; i < n; ++i) {
        InternetAddress* ia = internet_address_list_get_address(list, i);
        if (INTERNET_ADDRESS_IS_MAILBOX(ia)) {
            const char* a = internet_address_mailbox_get_addr(INTERNET_ADDRESS_MAILBOX(ia));
            if (a && *a) return a;
        } else if (INTERNET_ADDRESS_IS_GROUP(ia)) {
            std::string a = FirstAddress(
                internet_address_group_get_members(INTERNET_ADDRESS_GROUP(ia)), depth + 1);
            if (!a.empty()) return a;
        }
    }
    return {};
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
    if (!ReadHeaderBlock(fd, hb)) return ErrnoStatus(Fail::Io, "cannot read message " + path);
    if (::lseek(fd, 0, SEEK_SET) < 0) return ErrnoStatus(Fail::Io, "cannot read message " + path);

    Ref<GMimeStream> file(g_mime_stream_fs_new(guard.Release()));  // owns the fd now
    Ref<GMimeStream> input;
    if (hb.truncated) {
        // GMime would hold an oversized header whole: give it the capped block
        // and the body behind the real one.
        std::string head = hb.text + "\n";
        Ref<GMimeStream> mem(g_mime_stream_mem_new_with_buffer(head.data(), head.size()));
        Ref<GMimeStream> body(g_mime_stream_substream(file.get(), hb.bodyOffset, -1));
        input.p = g_mime_stream_cat_new();
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(input.get()), mem.get());
        g_mime_stream_cat_add_source(GMIME_STREAM_CAT(input.get()), body.get());
    } else {
        input.p = GMIME_STREAM(g_object_ref(file.get()));
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

// --- writing -----------------------------------------------------------

struct DraftRecipient {
    std::string address;  // as set, "SMTP:x@y"
    int type = 1;
};

struct DraftAttachment {
    std::string name;
    std::string source;
    int type = 1;
    int position = 0;
    int fd = -1;  // staged copy of the content
};

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

GMimePart* ContentPart(const std::string& mimeType, GMimeStream* content) {
    std::size_t slash = mimeType.find('/');
    GMimePart* part = g_mime_part_new_with_type(mimeType.substr(0, slash).c_str(),
                                                mimeType.substr(slash + 1).c_str());
    Ref<GMimeDataWrapper> w(
        g_mime_data_wrapper_new_with_stream(content, GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, w.get());
    // base64 keeps every byte, CR LF and NUL included, through any mail tool.
    g_mime_part_set_content_encoding(part, GMIME_CONTENT_ENCODING_BASE64);
    return part;
}

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

Status CopyFd(int from, int to) {
    char buf[65536];
    off_t off = 0;
    for (;;) {
        ssize_t n = ::pread(from, buf, sizeof buf, off);
        if (n < 0) {
            if (errno == EINTR) continue;
            return ErrnoStatus(Fail::Io, "cannot read attachment data");
        }
        if (n == 0) return Status::Ok();
        off += n;
        for (ssize_t done = 0; done < n;) {
            ssize_t w = ::write(to, buf + done, static_cast<std::size_t>(n - done));
            if (w < 0) {
                if (errno == EINTR) continue;
                return ErrnoStatus(Fail::Io, "cannot write attachment data");
            }
            done += w;
        }
    }
}

// --- the message objects ------------------------------------------------

struct MessageState {
    std::shared_ptr<StoreState> store;
    bool draft = false;
    std::string dir;   // the folder's Maildir
    std::string sub;   // stored: "new" or "cur"
    std::string name;  // stored: file name

    bool loaded = false;
    ParsedMessage parsed;

    // Set through the interface; on a stored message they are kept for this
    // object only (a stored file is never rewritten).
    std::optional<std::string> subject, text, senderName;
    std::optional<std::int64_t> timeSent, timeReceived;
    bool unread = true;
    std::vector<DraftRecipient> recipients;
    std::vector<DraftAttachment> attachments;

    ~MessageState() { DropStaged(); }
    void DropStaged() {
        for (auto& a : attachments)
            if (a.fd >= 0) ::close(a.fd);
        attachments.clear();
    }

    std::string Path() const { return dir + "/" + sub + "/" + name; }

    // Finds the file again when another reader moved it or changed its flags.
    Status Refresh() {
        if (draft) return Status::Error(Fail::NotFound, "message is not saved");
        if (::access(Path().c_str(), F_OK) == 0) return Status::Ok();
        auto hit = Locate(dir, BaseOf(name));
        if (!hit) return Status::Error(Fail::NotFound, "message " + BaseOf(name) + " is gone");
        sub = hit->sub;
        name = hit->name;
        return Status::Ok();
    }

    Status Load() {
        if (draft || loaded) return Status::Ok();
        if (Status st = Refresh(); !st) return st;
        ParsedMessage pm;
        if (Status st = ParseMessageFile(Path(), pm); !st) return st;
        parsed = std::move(pm);
        loaded = true;
        return Status::Ok();
    }

    Status Update();
    Status MoveTo(const std::string& folderId);
    Status SetUnread(bool u);
};

Status MessageState::Update() {
    if (!draft) {
        if (subject || text || senderName || timeSent || timeReceived)
            return Status::Error(Fail::Rejected, "a stored message is not rewritten");
        return Status::Ok();
    }
    EnsureGMime();
    if (!IsMaildir(dir)) return Status::Error(Fail::NotFound, "no Maildir folder " + dir);
    Ref<GMimeMessage> m(g_mime_message_new(TRUE));

    if (senderName && !senderName->empty())
        AddAddresses(m.get(), GMIME_ADDRESS_TYPE_FROM, *senderName, true);
    for (const auto& r : recipients) {
        std::string addr = StripSmtpPrefix(r.address);
        if (addr.empty()) continue;
        GMimeAddressType t = r.type == 2   ? GMIME_ADDRESS_TYPE_CC
                             : r.type == 3 ? GMIME_ADDRESS_TYPE_BCC
                                           : GMIME_ADDRESS_TYPE_TO;
        AddAddresses(m.get(), t, addr, false);
    }
    if (subject) g_mime_message_set_subject(m.get(), AsUtf8(*subject).c_str(), "utf-8");
    if (timeSent) {
        GDateTime* dt = *timeSent == kZeroDateUnix ? g_date_time_new_from_unix_utc(*timeSent)
                                                   : g_date_time_new_from_unix_local(*timeSent);
        if (dt) {
            g_mime_message_set_date(m.get(), dt);
            g_date_time_unref(dt);
        }
    }
    char host[256] = "localhost";
    ::gethostname(host, sizeof host - 1);
    if (char* id = g_mime_utils_generate_message_id(host)) {
        g_mime_message_set_message_id(m.get(), id);
        g_free(id);
    }

    std::vector<GMimeObject*> parts;  // owned references
    if (text || attachments.empty()) {
        std::string t = text.value_or("");
        Ref<GMimeStream> ms(g_mime_stream_mem_new_with_buffer(t.data(), t.size()));
        GMimePart* tp = ContentPart("text/plain", ms.get());
        bool utf8 = g_utf8_validate(t.data(), static_cast<gssize>(t.size()), nullptr);
        g_mime_object_set_content_type_parameter(GMIME_OBJECT(tp), "charset",
                                                 utf8 ? "utf-8" : "iso-8859-1");
        g_mime_object_set_disposition(GMIME_OBJECT(tp), "inline");
        parts.push_back(GMIME_OBJECT(tp));
    }
    for (const auto& a : attachments) {
        std::string fileName = a.name.substr(0, a.name.find(';'));
        if (fileName.empty()) {
            std::size_t slash = a.source.find_last_of("/\\");
            fileName = slash == std::string::npos ? a.source : a.source.substr(slash + 1);
        }
        Ref<GMimeStream> content(a.fd >= 0 ? g_mime_stream_fs_new_with_bounds(::dup(a.fd), 0, -1)
                                           : g_mime_stream_mem_new());
        GMimePart* ap = ContentPart(MimeTypeFor(fileName), content.get());
        g_mime_object_set_disposition(GMIME_OBJECT(ap), "attachment");
        if (!fileName.empty()) g_mime_part_set_filename(ap, AsUtf8(fileName).c_str());
        g_mime_object_set_header(GMIME_OBJECT(ap), kNameHeader, EncodeHeaderText(a.name).c_str(),
                                 nullptr);
        g_mime_object_set_header(GMIME_OBJECT(ap), kSourceHeader,
                                 EncodeHeaderText(a.source).c_str(), nullptr);
        parts.push_back(GMIME_OBJECT(ap));
    }
    // Attachments always sit in a multipart: the headers of a lone top part
    // would be read as the message's own.
    if (parts.size() == 1 && attachments.empty()) {
        g_mime_message_set_mime_part(m.get(), parts[0]);
    } else {
        Ref<GMimeMultipart> mp(g_mime_multipart_new_with_subtype("mixed"));
        for (GMimeObject* p : parts) g_mime_multipart_add(mp.get(), p);
        g_mime_message_set_mime_part(m.get(), GMIME_OBJECT(mp.get()));
    }
    for (GMimeObject* p : parts) g_object_unref(p);

    std::int64_t received = timeReceived.value_or(static_cast<std::int64_t>(::time(nullptr)));
    std::string base = UniqueName(received, ++store->counter);
    std::string tmpPath = dir + "/tmp/" + base;
    int fd = ::open(tmpPath.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600);
    if (fd < 0) return ErrnoStatus(Fail::Io, "cannot create " + tmpPath);
    UniqueFd guard(fd);
    Status result = Status::Ok();
    {
        Ref<GMimeStream> out(g_mime_stream_fs_new(fd));
        g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
        if (g_mime_object_write_to_stream(GMIME_OBJECT(m.get()), nullptr, out.get()) < 0 ||
            g_mime_stream_flush(out.get()) < 0)
            result = Status::Error(Fail::Io, "cannot write " + tmpPath);
    }
    if (result && ::fsync(fd) != 0) result = ErrnoStatus(Fail::Io, "cannot sync " + tmpPath);
    if (result && timeReceived) {
        struct timespec ts[2];
        ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(received);
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        ::futimens(fd, ts);
    }
    if (::close(guard.Release()) != 0 && result)
        result = ErrnoStatus(Fail::Io, "cannot close " + tmpPath);
    std::string finalSub = unread ? "new" : "cur";
    std::string finalName = unread ? base : base + ":2,S";
    if (result) {
        int err = RenameNoReplace(tmpPath, dir + "/" + finalSub + "/" + finalName);
        if (err)
            result =
                Status::Error(Fail::Io, "cannot deliver into " + dir + ": " + std::strerror(err));
    }
    if (!result) {
        ::unlink(tmpPath.c_str());
        return result;
    }
    (void)FsyncFolder(dir + "/" + finalSub);
    draft = false;
    sub = finalSub;
    name = finalName;
    loaded = false;
    subject.reset();
    text.reset();
    senderName.reset();
    timeSent.reset();
    timeReceived.reset();
    recipients.clear();
    DropStaged();
    return Status::Ok();
}

Status MessageState::MoveTo(const std::string& folderId) {
    if (draft) return Status::Error(Fail::NotFound, "message is not saved");
    auto target = store->FolderDir(folderId);
    if (!target) return Status::Error(Fail::NotFound, "no folder " + folderId);
    if (Status st = Refresh(); !st) return st;
    std::string base = BaseOf(name);
    std::string flags = FlagsOf(name);
    for (int attempt = 0; attempt < 3; ++attempt) {
        std::string newName = base + ":2," + flags;
        std::string to = *target + "/cur/" + newName;
        if (to == Path()) return Status::Ok();
        int err = RenameNoReplace(Path(), to);
        if (err == 0) {
            (void)FsyncFolder(*target + "/cur");
            (void)FsyncFolder(dir + "/" + sub);
            dir = *target;
            sub = "cur";
            name = newName;
            return Status::Ok();
        }
        if (err != EEXIST)
            return Status::Error(Fail::Io,
                                 "cannot move into " + *target + ": " + std::strerror(err));
        // Another message has this name there: this one gets a fresh one.
        base = UniqueName(DeliveryTimeOf(base).value_or(static_cast<std::int64_t>(::time(nullptr))),
                          ++store->counter);
    }
    return Status::Error(Fail::Io, "cannot find a free name in " + *target);
}

Status MessageState::SetUnread(bool u) {
    if (draft) {
        unread = u;
        return Status::Ok();
    }
    if (Status st = Refresh(); !st) return st;
    std::string newName = BaseOf(name) + ":2," + WithFlag(FlagsOf(name), 'S', !u);
    std::string to = dir + "/cur/" + newName;
    if (to == Path()) return Status::Ok();
    if (::rename(Path().c_str(), to.c_str()) != 0)
        return ErrnoStatus(Fail::Io, "cannot flag " + Path());
    sub = "cur";
    name = newName;
    return Status::Ok();
}

class MaildirAttachment final : public MailAttachment {
  public:
    MaildirAttachment(std::shared_ptr<MessageState> st, std::size_t index)
        : st_(std::move(st)), index_(index) {}

    Result<std::string> Name() override {
        if (st_->draft) return Draft().name;
        if (Status s = st_->Load(); !s) return s;
        return st_->parsed.attachments.at(index_).name;
    }
    Result<std::string> Source() override {
        if (st_->draft) return Draft().source;
        if (Status s = st_->Load(); !s) return s;
        return st_->parsed.attachments.at(index_).source;
    }
    Status WriteToFile(const std::string& path) override {
        if (st_->draft) {
            int out = ::open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
            if (out < 0) return ErrnoStatus(Fail::Io, "cannot create " + path);
            UniqueFd guard(out);
            if (Draft().fd < 0) return Status::Ok();
            return CopyFd(Draft().fd, out);
        }
        if (Status s = st_->Load(); !s) return s;
        if (Status s = st_->Refresh(); !s) return s;
        return WriteLeafToFile(st_->Path(), st_->parsed.attachments.at(index_).leaf, path);
    }
    Status SetType(int type) override {
        if (Status s = NeedDraft(); !s) return s;
        Draft().type = type;
        return Status::Ok();
    }
    Status SetPosition(int position) override {
        if (Status s = NeedDraft(); !s) return s;
        Draft().position = position;
        return Status::Ok();
    }
    Status SetName(const std::string& name) override {
        if (Status s = NeedDraft(); !s) return s;
        Draft().name = name;
        return Status::Ok();
    }
    Status SetSource(const std::string& source) override {
        if (Status s = NeedDraft(); !s) return s;
        Draft().source = source;
        return Status::Ok();
    }
    Status ReadFromFile(const std::string& path) override {
        if (Status s = NeedDraft(); !s) return s;
        int in = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
        if (in < 0) return ErrnoStatus(Fail::NotFound, "cannot open " + path);
        UniqueFd inGuard(in);
        // A private copy: the caller may reuse the file name for the next part
        // before the message is saved.
        std::string tmpDir = st_->dir + "/tmp";
        int stage = ::open(tmpDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
        if (stage < 0) {
            std::string tmpl = tmpDir + "/.stage.XXXXXX";
            stage = ::mkostemp(tmpl.data(), O_CLOEXEC);
            if (stage < 0) return ErrnoStatus(Fail::Io, "cannot stage attachment in " + tmpDir);
            ::unlink(tmpl.c_str());
        }
        UniqueFd stageGuard(stage);
        if (Status s = CopyFd(in, stage); !s) return s;
        if (Draft().fd >= 0) ::close(Draft().fd);
        Draft().fd = stageGuard.Release();
        return Status::Ok();
    }

  private:
    DraftAttachment& Draft() { return st_->attachments.at(index_); }
    Status NeedDraft() {
        if (!st_->draft) return Status::Error(Fail::Rejected, "a stored attachment is not changed");
        return Status::Ok();
    }
    std::shared_ptr<MessageState> st_;
    std::size_t index_;
};

class MaildirRecipient final : public MailRecipient {
  public:
    MaildirRecipient(std::shared_ptr<MessageState> st, std::size_t index)
        : st_(std::move(st)), index_(index) {}
    Result<std::string> Name() override {
        if (st_->draft) return StripSmtpPrefix(st_->recipients.at(index_).address);
        if (Status s = st_->Load(); !s) return s;
        return st_->parsed.recipients.at(index_);
    }
    Status SetAddress(const std::string& address) override {
        if (!st_->draft) return Status::Error(Fail::Rejected, "a stored recipient is not changed");
        st_->recipients.at(index_).address = address;
        return Status::Ok();
    }
    Status SetType(int type) override {
        if (!st_->draft) return Status::Error(Fail::Rejected, "a stored recipient is not changed");
        st_->recipients.at(index_).type = type;
        return Status::Ok();
    }

  private:
    std::shared_ptr<MessageState> st_;
    std::size_t index_;
};

class MaildirMessage final : public MailMessage {
  public:
    explicit MaildirMessage(std::shared_ptr<MessageState> st) : st_(std::move(st)) {}

    Result<std::string> ID() override {
        if (st_->draft) return Status::Error(Fail::NotFound, "message is not saved");
        return st_->dir + "/" + BaseOf(st_->name);
    }
    Result<std::string> Type() override {
        if (Status s = st_->Load(); !s) return s;
        return st_->draft ? std::string("IPM.Note") : st_->parsed.type;
    }
    Result<std::string> Subject() override {
        if (st_->subject) return *st_->subject;
        if (Status s = st_->Load(); !s) return s;
        return st_->draft ? std::string() : st_->parsed.subject;
    }
    Status SetSubject(const std::string& subject) override {
        st_->subject = subject;
        return Status::Ok();
    }
    Result<std::string> Text() override {
        if (st_->text) return *st_->text;
        if (Status s = st_->Load(); !s) return s;
        return st_->draft ? std::string() : st_->parsed.text;
    }
    Status SetText(const std::string& text) override {
        st_->text = text;
        return Status::Ok();
    }
    Result<std::string> SenderAddress() override {
        if (st_->senderName) {
            std::string utf8 = AsUtf8(*st_->senderName);
            Ref<InternetAddressList> l(internet_address_list_parse(nullptr, utf8.c_str()));
            return FirstAddress(l.get());
        }
        if (Status s = st_->Load(); !s) return s;
        return st_->draft ? std::string() : st_->parsed.sender;
    }
    Status SetSenderName(const std::string& name) override {
        st_->senderName = name;
        return Status::Ok();
    }
    Result<std::string> TimeReceived() override {
        if (st_->timeReceived) return FormatStoreTime(*st_->timeReceived);
        if (st_->draft) return std::string();
        if (Status s = st_->Refresh(); !s) return s;
        if (auto t = DeliveryTimeOf(st_->name)) return FormatStoreTime(*t);
        struct stat sb {};
        if (::stat(st_->Path().c_str(), &sb) != 0)
            return ErrnoStatus(Fail::NotFound, "cannot stat message");
        return FormatStoreTime(sb.st_mtime);
    }
    Result<std::string> TimeSent() override {
        if (st_->timeSent) return FormatStoreTime(*st_->timeSent);
        if (Status s = st_->Load(); !s) return s;
        if (st_->draft || !st_->parsed.date) return std::string();
        return FormatStoreTime(*st_->parsed.date);
    }
    Status SetTimeReceived(std::int64_t t) override {
        st_->timeReceived = t;
        return Status::Ok();
    }
    Status SetTimeSent(std::int64_t t) override {
        st_->timeSent = t;
        return Status::Ok();
    }
    Status SetUnread(bool unread) override { return st_->SetUnread(unread); }

    Result<int> RecipientCount() override {
        if (st_->draft) return static_cast<int>(st_->recipients.size());
        if (Status s = st_->Load(); !s) return s;
        return static_cast<int>(st_->parsed.recipients.size());
    }
    Result<std::shared_ptr<MailRecipient>> Recipient(int index) override {
        Result<int> n = RecipientCount();
        if (!n) return n.status();
        if (index < 1 || index > *n)
            return Status::Error(Fail::NotFound, "no recipient " + std::to_string(index));
        return std::shared_ptr<MailRecipient>(
            std::make_shared<MaildirRecipient>(st_, static_cast<std::size_t>(index - 1)));
    }
    Result<std::shared_ptr<MailRecipient>> AddRecipient() override {
        if (!st_->draft)
            return Status::Error(Fail::Rejected, "recipients are added to new messages only");
        st_->recipients.emplace_back();
        return std::shared_ptr<MailRecipient>(
            std::make_shared<MaildirRecipient>(st_, st_->recipients.size() - 1));
    }
    Result<int> AttachmentCount() override {
        if (st_->draft) return static_cast<int>(st_->attachments.size());
        if (Status s = st_->Load(); !s) return s;
        return static_cast<int>(st_->parsed.attachments.size());
    }
    Result<std::shared_ptr<MailAttachment>> Attachment(int index) override {
        Result<int> n = AttachmentCount();
        if (!n) return n.status();
        if (index < 1 || index > *n)
            return Status::Error(Fail::NotFound, "no attachment " + std::to_string(index));
        return std::shared_ptr<MailAttachment>(
            std::make_shared<MaildirAttachment>(st_, static_cast<std::size_t>(index - 1)));
    }
    Result<std::shared_ptr<MailAttachment>> AddAttachment() override {
        if (!st_->draft)
            return Status::Error(Fail::Rejected, "attachments are added to new messages only");
        st_->attachments.emplace_back();
        return std::shared_ptr<MailAttachment>(
            std::make_shared<MaildirAttachment>(st_, st_->attachments.size() - 1));
    }
    Result<std::string> Field(int index) override {
        // Item 25 is where callers look for the transport header.
        if (index != 25) return Status::Error(Fail::NotFound, "no field " + std::to_string(index));
        if (st_->draft) return Status::Error(Fail::NotFound, "message is not saved");
        if (Status s = st_->Load(); !s) return s;
        return st_->parsed.header;
    }
    Status Update() override { return st_->Update(); }
    Status MoveTo(const std::string& folderId) override { return st_->MoveTo(folderId); }

  private:
    std::shared_ptr<MessageState> st_;
};

}  // namespace

void EnsureGMime() {
    static std::once_flag once;
    std::call_once(once, [] { g_mime_init(); });
}

std::optional<std::string> StoreState::FolderDir(const std::string& folderId) const {
    if (folderId == root) return root;
    if (folderId.size() <= root.size() + 2 || folderId.compare(0, root.size(), root) != 0 ||
        folderId[root.size()] != '/' || folderId[root.size() + 1] != '.')
        return std::nullopt;
    std::string entry = folderId.substr(root.size() + 1);
    if (entry.find('/') != std::string::npos || entry == "." || entry == "..") return std::nullopt;
    if (!IsMaildir(folderId)) return std::nullopt;
    return folderId;
}

Status ParseMessageFile(const std::string& path, ParsedMessage& out) {
    return WithParsedFile(path, [&](GMimeMessage* msg, const HeaderBlock& hb) {
        out.header = WithCrLf(hb.text);
        if (!msg) return;
        GMimeObject* mo = GMIME_OBJECT(msg);
        if (const char* cls = g_mime_object_get_header(mo, "X-Message-Class")) {
            std::string t = Trim(cls);
            if (!t.empty()) out.type = t;
        }
        if (const char* s = g_mime_message_get_subject(msg)) out.subject = s;
        out.sender = FirstAddress(g_mime_message_get_from(msg));
        AddMailboxes(g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_TO), out.recipients);
        AddMailboxes(g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_CC), out.recipients);
        AddMailboxes(g_mime_message_get_addresses(msg, GMIME_ADDRESS_TYPE_BCC), out.recipients);
        if (GDateTime* d = g_mime_message_get_date(msg))
            out.date = g_date_time_to_unix(d);
        else if (const char* dateText = g_mime_object_get_header(mo, "Date"))
            out.date = ParseOldDate(dateText);

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
            ParsedAttachment a;
            a.leaf = i;
            const char* n = g_mime_object_get_header(leaf, kNameHeader);
            const char* s = g_mime_object_get_header(leaf, kSourceHeader);
            std::string fileName = PartFileName(leaf);
            a.name = n ? DecodeHeaderText(n) : fileName;
            a.source = s ? DecodeHeaderText(s) : fileName;
            out.attachments.push_back(std::move(a));
        }
    });
}

Status WriteLeafToFile(const std::string& path, std::size_t leaf, const std::string& dest) {
    Status result = Status::Error(Fail::NotFound, "attachment is gone from " + path);
    Status opened = WithParsedFile(path, [&](GMimeMessage* msg, const HeaderBlock&) {
        if (!msg) return;
        std::vector<GMimeObject*> leaves;
        CollectLeaves(g_mime_message_get_mime_part(msg), leaves, 0);
        if (leaf >= leaves.size()) return;
        int fd = ::open(dest.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (fd < 0) {
            result = ErrnoStatus(Fail::Io, "cannot create " + dest);
            return;
        }
        Ref<GMimeStream> out(g_mime_stream_fs_new(fd));
        GMimeObject* obj = leaves[leaf];
        ssize_t n = 0;
        if (GMIME_IS_PART(obj)) {
            GMimeDataWrapper* w = g_mime_part_get_content(GMIME_PART(obj));
            n = w ? g_mime_data_wrapper_write_to_stream(w, out.get()) : 0;
        } else if (GMIME_IS_MESSAGE_PART(obj)) {
            GMimeMessage* inner = g_mime_message_part_get_message(GMIME_MESSAGE_PART(obj));
            n = inner ? g_mime_object_write_to_stream(GMIME_OBJECT(inner), nullptr, out.get()) : 0;
        }
        if (n < 0 || g_mime_stream_flush(out.get()) < 0)
            result = Status::Error(Fail::Io, "cannot write " + dest);
        else
            result = Status::Ok();
    });
    if (!opened) return opened;
    return result;
}

std::shared_ptr<MailMessage> OpenStoredMessage(std::shared_ptr<StoreState> store,
                                               const std::string& dir, const std::string& sub,
                                               const std::string& name) {
    auto st = std::make_shared<MessageState>();
    st->store = std::move(store);
    st->dir = dir;
    st->sub = sub;
    st->name = name;
    return std::make_shared<MaildirMessage>(std::move(st));
}

std::shared_ptr<MailMessage> NewDraftMessage(std::shared_ptr<StoreState> store,
                                             const std::string& dir) {
    auto st = std::make_shared<MessageState>();
    st->store = std::move(store);
    st->dir = dir;
    st->draft = true;
    return std::make_shared<MaildirMessage>(std::move(st));
}

bool SplitMessageId(const std::string& id, std::string& dir, std::string& base) {
    std::size_t slash = id.find_last_of('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= id.size()) return false;
    dir = id.substr(0, slash);
    base = id.substr(slash + 1);
    return base != "." && base != ".." && base.find(':') == std::string::npos;
}

std::string EncodeHeaderText(const std::string& text) {
    bool plain = !text.empty() && text.size() <= 200 && text.front() != ' ' && text.back() != ' ' &&
                 text.rfind("b64:", 0) != 0 && text.find("  ") == std::string::npos;
    for (unsigned char c : text)
        if (c < 0x20 || c > 0x7e) plain = false;
    // "=?" would be taken for an encoded word by readers.
    if (text.find("=?") != std::string::npos) plain = false;
    if (plain) return text;
    gchar* b = g_base64_encode(reinterpret_cast<const guchar*>(text.data()), text.size());
    std::string out = std::string("b64:") + b;
    g_free(b);
    return out;
}

std::string DecodeHeaderText(const std::string& value) {
    std::string v = Trim(value);
    if (v.rfind("b64:", 0) != 0) return value;
    gsize len = 0;
    guchar* raw = g_base64_decode(v.c_str() + 4, &len);
    std::string out(reinterpret_cast<const char*>(raw), len);
    g_free(raw);
    return out;
}

}  // namespace platform::maildir
