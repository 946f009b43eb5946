#include "linux/maildir/MaildirWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <string_view>

#include "linux/maildir/Mime.h"
#include "platform/Files.h"
#include "platform/MailStore.h"
#include "platform/Text.h"

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

// The local time zone, looked up again only when TZ changes: a lookup reads
// the zone's files, and every message with a date asks for it.
GTimeZone* LocalZone() {
    static GTimeZone* zone = nullptr;
    static std::string tz;
    const char* now = std::getenv("TZ");
    if (!zone || tz != (now ? now : "")) {
        if (zone) g_time_zone_unref(zone);
        zone = g_time_zone_new_local();
        tz = now ? now : "";
    }
    return zone;
}

void SetHeaders(GMimeMessage* m, const NewMessage& d, const std::string& messageId) {
    if (!d.senderName.empty()) AddAddresses(m, GMIME_ADDRESS_TYPE_FROM, d.senderName, true);
    for (const auto& r : d.recipients) {
        std::string addr = StripSmtpPrefix(r.address);
        if (addr.empty()) continue;
        GMimeAddressType t = r.kind == RecipientKind::Cc    ? GMIME_ADDRESS_TYPE_CC
                             : r.kind == RecipientKind::Bcc ? GMIME_ADDRESS_TYPE_BCC
                                                            : GMIME_ADDRESS_TYPE_TO;
        AddAddresses(m, t, addr, false);
    }
    if (!d.subject.empty()) g_mime_message_set_subject(m, AsUtf8(d.subject).c_str(), "utf-8");
    if (!d.note.empty())
        g_mime_object_set_header(GMIME_OBJECT(m), kNoteHeader, AsUtf8(d.note).c_str(), "utf-8");
    if (!d.origin.empty())
        g_mime_object_set_header(GMIME_OBJECT(m), kOriginHeader, EncodeHeaderText(d.origin).c_str(),
                                 nullptr);
    if (d.timeSent) {
        // The zero date reads back as itself in every zone.
        GDateTime* dt = g_date_time_new_from_unix_utc(*d.timeSent);
        if (dt && *d.timeSent != kZeroDateUnix) {
            GDateTime* local = g_date_time_to_timezone(dt, LocalZone());
            g_date_time_unref(dt);
            dt = local;
        }
        if (dt) {
            g_mime_message_set_date(m, dt);
            g_date_time_unref(dt);
        }
    }
    g_mime_message_set_message_id(m, messageId.c_str());
}

Ref<GMimeObject> TextPart(const std::string& text) {
    Ref<GMimeObject> part = LeafPart("text/plain");
    bool utf8 = g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
    g_mime_object_set_content_type_parameter(part.get(), "charset", utf8 ? "utf-8" : "iso-8859-1");
    g_mime_object_set_disposition(part.get(), "inline");
    return part;
}

Ref<GMimeObject> AttachmentPart(const NewAttachment& a) {
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

// The attachment files of one message, read range by range; the file of
// the last attachment stays open for the next, which most often shares it.
class ContentReader {
  public:
    // Writes the attachment's content to `to` (named `path` in messages),
    // base64-encoded.
    Status CopyTo(const NewAttachment& a, int to, const std::string& path) {
        if (a.file.empty()) return Status::Ok();
        if (Status st = Open(a.file); !st) return st;
        off_t off = static_cast<off_t>(a.offset);
        off_t left = a.length >= 0 ? static_cast<off_t>(a.length) : size_ - off;
        if (off < 0 || left < 0 || off + left > size_)
            return Status::Error(Fail::Format, "attachment data lies outside " + a.file);
        if (a.base64) return Copy(off, left, to, path);
        Base64Encoder enc;
        std::string buf(kChunk, '\0');
        while (left > 0) {
            ssize_t got = ::pread(fd_.get(), buf.data(),
                                  static_cast<std::size_t>(std::min<off_t>(left, kChunk)), off);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return ErrnoOf(got < 0 ? errno : EIO, "cannot read " + a.file);
            const std::string_view piece(buf.data(), static_cast<std::size_t>(got));
            if (Status st = WriteAll(to, enc.Feed(piece), path); !st) return st;
            off += got;
            left -= got;
        }
        return WriteAll(to, enc.Close(), path);
    }

  private:
    Status Open(const std::string& file) {
        if (fd_ && file == file_) return Status::Ok();
        fd_ = UniqueFd(::open(file.c_str(), O_RDONLY | O_CLOEXEC));
        file_ = file;
        if (!fd_) return ErrnoStatus(Fail::NotFound, "cannot open " + file);
        struct stat sb {};
        if (::fstat(fd_.get(), &sb) != 0) return ErrnoStatus(Fail::Io, "cannot read " + file);
        size_ = sb.st_size;
        return Status::Ok();
    }
    // Copies a range as it is, in the kernel where the files allow it.
    Status Copy(off_t off, off_t left, int to, const std::string& path) {
        while (left > 0) {
            ssize_t n =
                ::copy_file_range(fd_.get(), &off, to, nullptr, static_cast<size_t>(left), 0);
            if (n < 0 && errno == EINTR) continue;
            if (n > 0) {
                left -= n;
                continue;
            }
            if (n == 0) return Status::Error(Fail::Io, "attachment data ended early in " + file_);
            if (errno != EXDEV && errno != EINVAL && errno != ENOSYS && errno != EOPNOTSUPP)
                return ErrnoStatus(Fail::Io, "cannot write " + path);
            break;  // no kernel copy between these files: read and write
        }
        std::string buf(kChunk, '\0');
        while (left > 0) {
            ssize_t got = ::pread(fd_.get(), buf.data(),
                                  static_cast<std::size_t>(std::min<off_t>(left, kChunk)), off);
            if (got < 0 && errno == EINTR) continue;
            if (got <= 0) return ErrnoOf(got < 0 ? errno : EIO, "cannot read " + file_);
            if (Status st =
                    WriteAll(to, std::string_view(buf.data(), static_cast<std::size_t>(got)), path);
                !st)
                return st;
            off += got;
            left -= got;
        }
        return Status::Ok();
    }
    UniqueFd fd_;
    std::string file_;
    off_t size_ = 0;
};

// Writes the message file: its headers and text come from memory, each
// attachment's content from its file, one at a time.
// Attachments always sit in a multipart: the headers of a lone top part would
// be read as the message's own.
Status WriteMessage(int fd, const std::string& path, const NewMessage& d, const std::string& base) {
    Ref<GMimeMessage> m(g_mime_message_new(TRUE));
    SetHeaders(m.get(), d, MessageIdFor(base));
    const std::string text = d.text.value_or("");
    if (d.attachments.empty()) {
        Ref<GMimeObject> textPart = TextPart(text);
        g_mime_message_set_mime_part(m.get(), textPart.get());
        return WriteAll(fd, HeadersOf(GMIME_OBJECT(m.get())) + "\n" + Base64Of(text), path);
    }
    Ref<GMimeMultipart> mp(g_mime_multipart_new_with_subtype("mixed"));
    // Asking GMime for a new boundary would cost another read of /dev/urandom.
    g_mime_multipart_set_boundary(mp.get(), BoundaryFor(base).c_str());
    const std::string delimiter = std::string("--") + g_mime_multipart_get_boundary(mp.get());
    g_mime_message_set_mime_part(m.get(), GMIME_OBJECT(mp.get()));
    std::string head = HeadersOf(GMIME_OBJECT(m.get())) + "\n";
    if (d.text) {
        Ref<GMimeObject> textPart = TextPart(text);
        head += delimiter + "\n" + HeadersOf(textPart.get()) + "\n" + Base64Of(text);
    }
    if (Status st = WriteAll(fd, head, path); !st) return st;
    ContentReader contents;
    for (const auto& a : d.attachments) {
        Ref<GMimeObject> part = AttachmentPart(a);
        if (Status st = WriteAll(fd, delimiter + "\n" + HeadersOf(part.get()) + "\n", path); !st)
            return st;
        if (Status st = contents.CopyTo(a, fd, path); !st) return st;
    }
    return WriteAll(fd, delimiter + "--\n", path);
}

// Writes the message to a new file at path; mtime, when given, becomes the
// file's time. Failures name the folder: the file's unique name says nothing
// to a person and would crowd the reason out of a short line.
Status WriteMessageFile(const NewMessage& d, const std::string& path, const std::string& base,
                        std::optional<std::int64_t> mtime, FileSyncer& syncer,
                        FileSyncer::Ticket& ticket) {
    const std::string where = "a message in " + FolderOf(path);
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot write " + where);
    Status result = WriteMessage(fd.get(), where, d, base);
    // Its write-back starts now, while the next message is converted; the
    // store's syncer, or else the folder's next sync, makes it durable.
    if (result) StartWriteBack(fd.get());
    if (result && mtime) {
        struct timespec ts[2];
        ts[0].tv_sec = ts[1].tv_sec = static_cast<time_t>(*mtime);
        ts[0].tv_nsec = ts[1].tv_nsec = 0;
        if (::futimens(fd.get(), ts) != 0)
            result = ErrnoStatus(Fail::Io, "cannot set the time of " + where);
    }
    if (result && syncer.Active()) {
        ticket = syncer.Add(std::move(fd));  // closed once it is synced
        return result;
    }
    if (Status closed = fd.Close(where); result && !closed) result = closed;
    return result;
}

}  // namespace

Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const NewMessage& message) {
    EnsureGMime();
    if (!IsMaildir(dir)) return Status::Error(Fail::NotFound, "no Maildir folder " + dir);
    std::int64_t received =
        message.timeReceived.value_or(static_cast<std::int64_t>(::time(nullptr)));
    const std::string base = UniqueName(received, ++store.counter);
    const std::string tmpPath = dir + "/tmp/" + base;
    FileSyncer::Ticket ticket = 0;
    if (Status st =
            WriteMessageFile(message, tmpPath, base, message.timeReceived, store.syncer, ticket);
        !st) {
        ::unlink(tmpPath.c_str());
        return st;
    }
    Entry at{message.unread ? "new" : "cur", message.unread ? base : base + ":2,S"};
    store.unsynced[dir].push_back(Pending{base, std::move(at), ticket});
    return Entry{"tmp", base};
}

namespace {

// Takes a batch back out: the first `placed` were renamed into place already.
void ForgetAll(StoreState& store, const std::string& dir, const std::vector<Pending>& batch,
               std::size_t placed) {
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Pending& p = batch[i];
        const std::string path =
            i < placed ? dir + "/" + p.at.sub + "/" + p.at.name : dir + "/tmp/" + p.base;
        ::unlink(path.c_str());
        store.known.erase(dir + "/" + p.base);
    }
}

// Stores the first n of dir's unsynced messages: their contents durable,
// then their names in place, then the names durable. When any step fails
// none of the n is stored. The rest stay unsynced.
Status SyncFirst(StoreState& store, const std::string& dir, std::size_t n) {
    auto it = store.unsynced.find(dir);
    if (it == store.unsynced.end() || n == 0) return Status::Ok();
    std::vector<Pending>& all = it->second;
    n = std::min(n, all.size());
    const std::vector<Pending> batch(std::make_move_iterator(all.begin()),
                                     std::make_move_iterator(all.begin() + static_cast<long>(n)));
    all.erase(all.begin(), all.begin() + static_cast<long>(n));
    if (all.empty()) store.unsynced.erase(it);
    std::size_t& sealed = store.sealed[dir];
    sealed -= std::min(sealed, n);
    if (sealed == 0) store.sealed.erase(dir);
    // The messages' contents must be on the disk before their names appear,
    // or a crash could leave empty messages in the folder. The syncer has
    // been syncing them in groups while the next ones were converted, so
    // mostly only its last group is waited for here. One sync of the file
    // system per batch, the way without the syncer, costs about as much
    // when the files come back to back (bench/sync_choice.sh), but keeps the
    // program idle through the flush of the whole batch: with the syncer a
    // conversion takes a tenth to a fifth less time, and the whole job on a
    // disk that another program keeps busy takes as long as before.
    store.syncer.WaitFor(batch.back().ticket);
    int err = 0;
    for (const Pending& p : batch) {
        if (!err) err = store.syncer.Error(p.ticket);
        store.syncer.Forget(p.ticket);
    }
    Status synced = err ? ErrnoOf(err, "cannot sync a message in " + dir + "/tmp")
                    : store.syncer.Active() ? Status::Ok()
                                            : SyncFileSystem(dir + "/tmp");
    if (!synced) {
        ForgetAll(store, dir, batch, 0);
        return synced;
    }
    bool toNew = false, toCur = false;
    for (std::size_t i = 0; i < batch.size(); ++i) {
        const Pending& p = batch[i];
        store.settled.erase(dir + "/" + p.at.sub);
        if (int err =
                RenameNoReplace(dir + "/tmp/" + p.base, dir + "/" + p.at.sub + "/" + p.at.name)) {
            ForgetAll(store, dir, batch, i);
            return ErrnoOf(err, "cannot deliver into " + dir);
        }
        (p.at.sub == "new" ? toNew : toCur) = true;
        store.known[dir + "/" + p.base] = p.at;
    }
    // Until the folder is synced a crash may forget the new names, and the
    // caller deletes the messages' sources once this returns.
    for (const char* sub : {"new", "cur"}) {
        if (!(std::string_view(sub) == "new" ? toNew : toCur)) continue;
        if (Status st = FsyncFolder(dir + "/" + sub); !st) {
            ForgetAll(store, dir, batch, batch.size());
            return st;
        }
        store.settled.insert(dir + "/" + sub);
    }
    return Status::Ok();
}

}  // namespace

Status SyncDelivered(StoreState& store, const std::string& dir) {
    const auto it = store.unsynced.find(dir);
    return it == store.unsynced.end() ? Status::Ok() : SyncFirst(store, dir, it->second.size());
}

void SealDelivered(StoreState& store, const std::string& dir) {
    const auto it = store.unsynced.find(dir);
    if (it != store.unsynced.end()) store.sealed[dir] = it->second.size();
}

Result<bool> SyncSealed(StoreState& store, const std::string& dir, bool wait) {
    const auto it = store.sealed.find(dir);
    if (it == store.sealed.end()) return true;
    // Only asks: a folder with nothing unsynced gets no empty entry here.
    const auto pending = store.unsynced.find(dir);
    if (pending == store.unsynced.end()) {
        store.sealed.erase(it);
        return true;
    }
    if (!wait)
        for (std::size_t i = 0; i < it->second && i < pending->second.size(); ++i)
            if (!store.syncer.Done(pending->second[i].ticket)) return false;
    if (Status st = SyncFirst(store, dir, it->second); !st) return st;
    return true;
}

void DropUnsynced(StoreState& store, const std::string& folder) {
    auto it = store.unsynced.find(folder);
    if (it == store.unsynced.end()) return;
    // A copy: `folder` may be the very key erased below.
    const std::string dir = folder;
    const std::vector<Pending> batch = std::move(it->second);
    store.unsynced.erase(it);
    store.sealed.erase(dir);
    for (const Pending& p : batch) {
        ::unlink((dir + "/tmp/" + p.base).c_str());
        store.known.erase(dir + "/" + p.base);
        store.syncer.Forget(p.ticket);
    }
}

std::string StripSmtpPrefix(const std::string& address) {
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

}  // namespace platform::maildir
