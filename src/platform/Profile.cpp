#include "platform/Profile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/Text.h"

namespace platform {
namespace ini {
namespace {

// INI names and values lose blanks and TABs at both ends.
std::string_view TrimBlanksTabs(std::string_view s) {
    return TrimView(s, " \t");
}

struct Line {
    std::string_view body;  // without its line end
    std::size_t begin = 0;  // offset of the line in the text
    std::size_t end = 0;    // offset after its line end
};

std::vector<Line> SplitLines(std::string_view text) {
    std::vector<Line> lines;
    std::size_t pos = 0;
    while (pos < text.size()) {
        std::size_t nl = text.find('\n', pos);
        std::size_t stop = nl == std::string_view::npos ? text.size() : nl;
        std::size_t bodyEnd = stop;
        if (bodyEnd > pos && text[bodyEnd - 1] == '\r') --bodyEnd;
        lines.push_back(Line{text.substr(pos, bodyEnd - pos), pos,
                             nl == std::string_view::npos ? text.size() : nl + 1});
        pos = lines.back().end;
    }
    return lines;
}

// "[name]" -> name; nullopt for any other line.
std::optional<std::string_view> SectionName(std::string_view line) {
    line = TrimBlanksTabs(line);
    if (line.size() < 2 || line.front() != '[') return std::nullopt;
    std::size_t close = line.find(']');
    if (close == std::string_view::npos) return std::nullopt;
    return TrimBlanksTabs(line.substr(1, close - 1));
}

// "key=value" -> (key, value); nullopt for lines without "=" or comments.
std::optional<std::pair<std::string_view, std::string_view>> Entry(std::string_view line) {
    std::string_view t = TrimBlanksTabs(line);
    if (t.empty() || t.front() == ';' || t.front() == '#') return std::nullopt;
    std::size_t eq = line.find('=');
    if (eq == std::string_view::npos) return std::nullopt;
    return std::make_pair(TrimBlanksTabs(line.substr(0, eq)), TrimBlanksTabs(line.substr(eq + 1)));
}

}  // namespace

std::optional<std::string> Lookup(std::string_view text, std::string_view section,
                                  std::string_view key) {
    bool inSection = false;
    for (const Line& l : SplitLines(text)) {
        if (auto name = SectionName(l.body)) {
            inSection = EqualsNoCase(*name, section);
            continue;
        }
        if (!inSection) continue;
        if (auto e = Entry(l.body); e && EqualsNoCase(e->first, key)) return std::string(e->second);
    }
    return std::nullopt;
}

std::vector<EntryLine> Entries(std::string_view text) {
    std::vector<EntryLine> out;
    std::string section;
    int no = 0;
    for (const Line& l : SplitLines(text)) {
        ++no;
        if (auto name = SectionName(l.body)) {
            section = std::string(*name);
            continue;
        }
        const std::string_view t = TrimBlanksTabs(l.body);
        if (t.empty() || t.front() == ';' || t.front() == '#') continue;
        if (auto e = Entry(l.body))
            out.push_back({section, std::string(e->first), std::string(e->second), no, false});
        else
            out.push_back({section, "", "", no, true});
    }
    return out;
}

std::vector<std::string> Sections(std::string_view text) {
    std::vector<std::string> out;
    for (const Line& l : SplitLines(text))
        if (auto name = SectionName(l.body)) out.emplace_back(*name);
    return out;
}

std::string WithValue(std::string_view text, std::string_view section, std::string_view key,
                      std::string_view value) {
    // Keep the file's own line end for what we add.
    std::string eol = text.find("\r\n") != std::string_view::npos ? "\r\n" : "\n";
    std::vector<Line> lines = SplitLines(text);
    bool inSection = false;
    std::optional<std::size_t> sectionEnd;  // offset where a new key goes
    for (const Line& l : lines) {
        if (auto name = SectionName(l.body)) {
            if (inSection) break;  // the first matching section only
            inSection = EqualsNoCase(*name, section);
            if (inSection) sectionEnd = l.end;
            continue;
        }
        if (!inSection) continue;
        if (auto e = Entry(l.body); e && EqualsNoCase(e->first, key)) {
            std::string out(text.substr(0, l.begin));
            out += std::string(e->first) + "=" + std::string(value);
            out += text.substr(l.begin + l.body.size());  // its own line end and the rest
            return out;
        }
        if (!TrimBlanksTabs(l.body).empty()) sectionEnd = l.end;
    }
    std::string line = std::string(key) + "=" + std::string(value) + eol;
    if (sectionEnd) {
        std::string out(text.substr(0, *sectionEnd));
        // The section's last line may lack a line end (end of file).
        if (!out.empty() && out.back() != '\n') out += eol;
        out += line;
        out += text.substr(*sectionEnd);
        return out;
    }
    std::string out(text);
    if (!out.empty() && out.back() != '\n') out += eol;
    out += "[" + std::string(section) + "]" + eol + line;
    return out;
}

namespace {

// The file a write replaces: the path itself, or what a link there leads to.
std::string WriteTarget(const std::string& path, Links links) {
    struct stat st {};
    if (links == Links::Refuse || ::lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode))
        return path;
    char* real = ::realpath(path.c_str(), nullptr);
    if (!real) return path;  // a dangling link is replaced by the file
    std::string target = real;
    std::free(real);
    return target;
}

}  // namespace

bool WriteKey(const std::string& path, std::string_view section, std::string_view key,
              std::string_view value, Links links) {
    if (path.empty()) return false;
    (void)MakeFolders(FolderOf(path));  // a missing folder shows as the failed write below
    std::string lockPath = path + ".lock";
    UniqueFd lockFd(::open(lockPath.c_str(), O_RDWR | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!lockFd) return false;
    while (::flock(lockFd.get(), LOCK_EX) != 0)
        if (errno != EINTR) return false;
    // A line end inside a value would split it into lines of its own and
    // corrupt the file for every reader: keep the value on one line.
    std::string flat(value);
    for (char& c : flat)
        if (c == '\r' || c == '\n' || c == '\0') c = ' ';
    const std::string target = WriteTarget(path, links);
    auto old = ReadWholeFile(target);
    bool ok = old || old.status().kind == Fail::NotFound;
    // 0600 whatever the file had: it holds the mailbox password.
    if (ok)
        ok =
            WriteFileAtomically(target, WithValue(old.value_or(""), section, key, flat), 0600).ok();
    ::flock(lockFd.get(), LOCK_UN);
    return ok;
}

void RemoveStaleCopies(const std::string& path, Links links) {
    UniqueFd lockFd(::open((path + ".lock").c_str(), O_RDWR | O_CLOEXEC | O_NOFOLLOW));
    if (!lockFd) {
        // No writer ever locked it, so none can be busy.
        platform::RemoveStaleCopies(WriteTarget(path, links));
        return;
    }
    if (::flock(lockFd.get(), LOCK_EX | LOCK_NB) != 0) return;
    platform::RemoveStaleCopies(WriteTarget(path, links));
    ::flock(lockFd.get(), LOCK_UN);
}

std::string StripComment(std::string_view value) {
    std::size_t pos = 0;
    while ((pos = value.find(';', pos)) != std::string_view::npos) {
        if (pos == 0 || value[pos - 1] == ' ' || value[pos - 1] == '\t') {
            value = value.substr(0, pos);
            break;
        }
        ++pos;
    }
    return std::string(TrimBlanksTabs(value));
}

}  // namespace ini

ProfileStore::ProfileStore(std::string desktopProfilePath) : path_(std::move(desktopProfilePath)) {}

// Every read sees the file as it stands on disk. The text is loaded again
// whenever the file's identity changed: a write by this program or by the
// scheduler replaces the file (a new inode), and any other change moves its
// size or times. So the page printer, which reads its keys for every page it
// sets, costs a stat rather than an open and a read.
const ProfileStore::Snapshot& ProfileStore::Current() const {
    struct stat st {};
    Snapshot now;
    if (::stat(path_.c_str(), &st) == 0 && S_ISREG(st.st_mode)) {
        now.exists = true;
        now.dev = st.st_dev;
        now.ino = st.st_ino;
        now.size = st.st_size;
        now.mtimeNs = st.st_mtim.tv_sec * 1000000000LL + st.st_mtim.tv_nsec;
        now.ctimeNs = st.st_ctim.tv_sec * 1000000000LL + st.st_ctim.tv_nsec;
    }
    if (snap_ && snap_->exists == now.exists && snap_->dev == now.dev && snap_->ino == now.ino &&
        snap_->size == now.size && snap_->mtimeNs == now.mtimeNs && snap_->ctimeNs == now.ctimeNs)
        return *snap_;
    if (now.exists) {
        ++loads_;
        auto text = ReadWholeFile(path_);
        if (!text)
            now.exists = false;
        else
            now.text = std::move(*text);
    }
    snap_ = std::move(now);
    return *snap_;
}

int ProfileStore::GetProfileStringA(std::string_view section, std::string_view key,
                                    std::string_view def, std::string& buf, int size) const {
    std::optional<std::string> value;
    if (const Snapshot& s = Current(); s.exists) value = ini::Lookup(s.text, section, key);
    std::string v = value ? *value : std::string(def);
    if (!value) {
        // A default is copied without its surrounding blanks too.
        while (!v.empty() && v.back() == ' ') v.pop_back();
        while (!v.empty() && v.front() == ' ') v.erase(v.begin());
    }
    std::size_t limit = size > 0 ? static_cast<std::size_t>(size - 1) : 0;
    if (v.size() > limit) v.resize(limit);
    buf = v;
    return static_cast<int>(buf.size());
}

int ProfileStore::WriteProfileStringA(std::string_view section, std::string_view key,
                                      std::string_view value) {
    bool ok = ini::WriteKey(path_, section, key, value, Links::Follow);
    if (onWrite) onWrite(section, key, value);
    return ok ? 1 : 0;
}

int ProfileStore::WritePrivateProfileStringA(std::string_view section, std::string_view key,
                                             std::string_view value, const std::string& path) {
    return ini::WriteKey(path, section, key, value) ? 1 : 0;
}

}  // namespace platform
