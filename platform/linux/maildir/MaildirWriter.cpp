#include "platform/linux/maildir/MaildirWriter.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <string_view>

#include "platform/MailStore.h"
#include "platform/Text.h"
#include "platform/linux/maildir/Mime.h"

namespace platform::maildir {
namespace {

// Copies all of `from`, read from its start, to `to`.
Status CopyAll(int from, int to, const std::string& toPath) {
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
        if (Status st = WriteAll(to, std::string_view(buf, static_cast<std::size_t>(n)), toPath);
            !st)
            return st;
    }
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

// A leaf part holding the stream's bytes.
Ref<GMimeObject> ContentPart(const std::string& mimeType, GMimeStream* content) {
    std::size_t slash = mimeType.find('/');
    GMimePart* part = g_mime_part_new_with_type(mimeType.substr(0, slash).c_str(),
                                                mimeType.substr(slash + 1).c_str());
    Ref<GMimeDataWrapper> w(
        g_mime_data_wrapper_new_with_stream(content, GMIME_CONTENT_ENCODING_DEFAULT));
    g_mime_part_set_content(part, w.get());
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
    Ref<GMimeStream> ms(g_mime_stream_mem_new_with_buffer(text.data(), text.size()));
    Ref<GMimeObject> part = ContentPart("text/plain", ms.get());
    bool utf8 = g_utf8_validate(text.data(), static_cast<gssize>(text.size()), nullptr);
    g_mime_object_set_content_type_parameter(part.get(), "charset", utf8 ? "utf-8" : "iso-8859-1");
    g_mime_object_set_disposition(part.get(), "inline");
    return part;
}

Result<Ref<GMimeObject>> AttachmentPart(const AttachmentDraft& a) {
    std::string fileName = a.name.substr(0, a.name.find(';'));
    if (fileName.empty()) {
        std::size_t slash = a.source.find_last_of("/\\");
        fileName = slash == std::string::npos ? a.source : a.source.substr(slash + 1);
    }
    Ref<GMimeStream> content;
    if (a.content.Empty()) {
        content.Reset(g_mime_stream_mem_new());
    } else {
        Result<UniqueFd> fd = a.content.Reopen();
        if (!fd) return fd.status();
        content.Reset(g_mime_stream_fs_new_with_bounds(fd->Release(), 0, -1));
    }
    Ref<GMimeObject> part = ContentPart(MimeTypeFor(fileName), content.get());
    g_mime_object_set_disposition(part.get(), "attachment");
    if (!fileName.empty())
        g_mime_part_set_filename(GMIME_PART(part.get()), AsUtf8(fileName).c_str());
    g_mime_object_set_header(part.get(), kNameHeader, EncodeHeaderText(a.name).c_str(), nullptr);
    g_mime_object_set_header(part.get(), kSourceHeader, EncodeHeaderText(a.source).c_str(),
                             nullptr);
    return part;
}

Result<Ref<GMimeMessage>> Compose(const MessageDraft& d) {
    Ref<GMimeMessage> m(g_mime_message_new(TRUE));
    SetHeaders(m.get(), d);
    std::vector<Ref<GMimeObject>> parts;
    if (d.text || d.attachments.empty()) parts.push_back(TextPart(d.text.value_or("")));
    for (const auto& a : d.attachments) {
        Result<Ref<GMimeObject>> part = AttachmentPart(*a);
        if (!part) return part.status();
        parts.push_back(std::move(*part));
    }
    // Attachments always sit in a multipart: the headers of a lone top part
    // would be read as the message's own.
    if (parts.size() == 1 && d.attachments.empty()) {
        g_mime_message_set_mime_part(m.get(), parts[0].get());
    } else {
        Ref<GMimeMultipart> mp(g_mime_multipart_new_with_subtype("mixed"));
        for (const auto& p : parts) g_mime_multipart_add(mp.get(), p.get());
        g_mime_message_set_mime_part(m.get(), GMIME_OBJECT(mp.get()));
    }
    return m;
}

// Writes the message to a new file at path and syncs it; mtime, when given,
// becomes the file's time.
Status WriteMessageFile(GMimeMessage* m, const std::string& path,
                        std::optional<std::int64_t> mtime) {
    UniqueFd fd(::open(path.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0600));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot create " + path);
    Status result = Status::Ok();
    {
        Ref<GMimeStream> out(g_mime_stream_fs_new(fd.get()));
        g_mime_stream_fs_set_owner(GMIME_STREAM_FS(out.get()), FALSE);
        if (g_mime_object_write_to_stream(GMIME_OBJECT(m), nullptr, out.get()) < 0 ||
            g_mime_stream_flush(out.get()) < 0)
            result = Status::Error(Fail::Io, "cannot write " + path);
    }
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

Status StagedContent::Stage(const std::string& tmpDir, const std::string& from) {
    UniqueFd in(::open(from.c_str(), O_RDONLY | O_CLOEXEC));
    if (!in) return ErrnoStatus(Fail::NotFound, "cannot open " + from);
    UniqueFd copy(::open(tmpDir.c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600));
    if (!copy) {
        std::string tmpl = tmpDir + "/.stage.XXXXXX";
        copy = UniqueFd(::mkostemp(tmpl.data(), O_CLOEXEC));
        if (!copy) return ErrnoStatus(Fail::Io, "cannot stage attachment in " + tmpDir);
        ::unlink(tmpl.c_str());
    }
    if (Status st = CopyAll(in.get(), copy.get(), "a staged copy of " + from); !st) return st;
    fd_ = std::move(copy);
    return Status::Ok();
}

Status StagedContent::CopyTo(int to, const std::string& path) const {
    if (!fd_) return Status::Ok();
    return CopyAll(fd_.get(), to, path);
}

Result<UniqueFd> StagedContent::Reopen() const {
    UniqueFd fd(::dup(fd_.get()));
    if (!fd) return ErrnoStatus(Fail::Io, "cannot reopen staged attachment data");
    return fd;
}

Result<Entry> DeliverMessage(StoreState& store, const std::string& dir, const MessageDraft& draft) {
    EnsureGMime();
    if (!IsMaildir(dir)) return Status::Error(Fail::NotFound, "no Maildir folder " + dir);
    Result<Ref<GMimeMessage>> m = Compose(draft);
    if (!m) return m.status();

    std::int64_t received = draft.timeReceived.value_or(static_cast<std::int64_t>(::time(nullptr)));
    std::string base = UniqueName(received, ++store.counter);
    std::string tmpPath = dir + "/tmp/" + base;
    Entry at{draft.unread ? "new" : "cur", draft.unread ? base : base + ":2,S"};
    std::string finalPath = dir + "/" + at.sub + "/" + at.name;
    Status result = WriteMessageFile(m->get(), tmpPath, draft.timeReceived);
    if (result) {
        if (int err = RenameNoReplace(tmpPath, finalPath))
            result =
                Status::Error(Fail::Io, "cannot deliver into " + dir + ": " + std::strerror(err));
    }
    if (!result) {
        ::unlink(tmpPath.c_str());
        return result;
    }
    // Until the folder is synced a crash may forget the new name: take the
    // message back rather than report it stored.
    if (Status synced = FsyncFolder(dir + "/" + at.sub); !synced) {
        ::unlink(finalPath.c_str());
        return synced;
    }
    return at;
}

std::string StripSmtpPrefix(const std::string& address) {
    if (address.size() >= 5 && EqualsNoCase(address.substr(0, 5), "smtp:"))
        return address.substr(5);
    return address;
}

}  // namespace platform::maildir
