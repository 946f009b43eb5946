#include "linux/maildir/MaildirFs.h"

#include <fcntl.h>
#include <stdio.h>
#include <sys/random.h>
#include <sys/stat.h>
#include <sys/time.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>

#include "platform/Files.h"

namespace platform::maildir {
namespace {

// The host's name as it was when first asked: it is asked for every message.
const std::string& HostName() {
    static const std::string name = [] {
        char host[256] = {};
        if (::gethostname(host, sizeof host - 1) != 0 || host[0] == '\0')
            std::strcpy(host, "localhost");
        return std::string(host);
    }();
    return name;
}

std::string HostPart() {
    // "/" and ":" cannot stand in a delivery name.
    std::string out;
    for (char c : HostName()) {
        if (c == '/')
            out += "\\057";
        else if (c == ':')
            out += "\\072";
        else
            out += c;
    }
    return out;
}

}  // namespace

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

bool SplitMessageId(const std::string& id, std::string& dir, std::string& base) {
    std::size_t slash = id.find_last_of('/');
    if (slash == std::string::npos || slash == 0 || slash + 1 >= id.size()) return false;
    dir = id.substr(0, slash);
    base = id.substr(slash + 1);
    return base != "." && base != ".." && base.find(':') == std::string::npos;
}

Status MakeMaildir(const std::string& dir) {
    for (const char* sub : {"/cur", "/new", "/tmp"})
        if (Status st = MakeFolders(dir + sub); !st) return st;
    return Status::Ok();
}

bool IsMaildir(const std::string& dir) {
    return IsFolder(dir + "/cur") && IsFolder(dir + "/new");
}

Result<std::string> EscapeFolderName(std::string_view name) {
    if (name.empty()) return Status::Error(Fail::Format, "empty folder name");
    static const char hex[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned char c : name) {
        if (c == '.' || c == '/' || c == '%' || c < 0x20 || c == 0x7f) {
            out += '%';
            out += hex[c >> 4];
            out += hex[c & 15];
        } else {
            out += static_cast<char>(c);
        }
    }
    if (out.size() > 200) return Status::Error(Fail::Format, "folder name too long");
    return out;
}

std::string UnescapeFolderName(std::string_view component) {
    auto val = [](char c) -> int {
        if (c >= '0' && c <= '9') return c - '0';
        if (c >= 'A' && c <= 'F') return c - 'A' + 10;
        if (c >= 'a' && c <= 'f') return c - 'a' + 10;
        return -1;
    };
    std::string out;
    for (std::size_t i = 0; i < component.size(); ++i) {
        if (component[i] == '%' && i + 2 < component.size() && val(component[i + 1]) >= 0 &&
            val(component[i + 2]) >= 0) {
            out += static_cast<char>(val(component[i + 1]) * 16 + val(component[i + 2]));
            i += 2;
        } else {
            out += component[i];
        }
    }
    return out;
}

std::string UniqueName(std::int64_t seconds, std::uint64_t counter) {
    struct timeval tv {};
    ::gettimeofday(&tv, nullptr);
    unsigned int rnd = 0;
    if (::getrandom(&rnd, sizeof rnd, GRND_NONBLOCK) != sizeof rnd)
        rnd = static_cast<unsigned>(tv.tv_usec) ^ counter;
    char buf[128];
    std::snprintf(buf, sizeof buf, "%lld.M%ldP%dQ%lluR%08x.", static_cast<long long>(seconds),
                  static_cast<long>(tv.tv_usec), static_cast<int>(::getpid()),
                  static_cast<unsigned long long>(counter), rnd);
    return buf + HostPart();
}

namespace {
// The unique part of a unique name ends with the dot before the host part.
std::string_view UniquePart(std::string_view base) {
    return base.substr(0, base.find('.', base.find('R')));
}
}  // namespace

std::string MessageIdFor(std::string_view base) {
    const std::string& host = HostName();
    const bool plain = std::all_of(host.begin(), host.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '-' || c == '.';
    });
    return std::string(UniquePart(base)) + "@" + (plain ? host : "localhost");
}

std::string BoundaryFor(std::string_view base) {
    return "=-" + std::string(UniquePart(base));
}

std::string BaseOf(std::string_view fileName) {
    std::size_t colon = fileName.find(':');
    return std::string(fileName.substr(0, colon));
}

std::string FlagsOf(std::string_view fileName) {
    std::size_t info = fileName.find(":2,");
    if (info == std::string_view::npos) return {};
    return std::string(fileName.substr(info + 3));
}

std::string WithFlag(std::string flags, char flag, bool on) {
    flags.erase(std::remove(flags.begin(), flags.end(), flag), flags.end());
    if (on) flags += flag;
    std::sort(flags.begin(), flags.end());
    return flags;
}

std::optional<std::int64_t> DeliveryTimeOf(std::string_view fileName) {
    std::size_t n = 0;
    while (n < fileName.size() && fileName[n] >= '0' && fileName[n] <= '9') ++n;
    if (n == 0 || n > 12 || n >= fileName.size() || fileName[n] != '.') return std::nullopt;
    std::int64_t v = 0;
    for (std::size_t i = 0; i < n; ++i) v = v * 10 + (fileName[i] - '0');
    return v;
}

std::vector<Entry> ListMessages(const std::string& dir) {
    struct Keyed {
        std::int64_t time;
        Entry e;
    };
    std::vector<Keyed> all;
    for (const char* sub : {"new", "cur"}) {
        for (std::string& name : ListFolder(dir + "/" + sub).value_or({})) {
            if (name[0] == '.') continue;
            std::int64_t t = DeliveryTimeOf(name).value_or(0);
            all.push_back({t, Entry{sub, std::move(name)}});
        }
    }
    std::sort(all.begin(), all.end(), [](const Keyed& a, const Keyed& b) {
        if (a.time != b.time) return a.time < b.time;
        return a.e.name < b.e.name;
    });
    std::vector<Entry> out;
    out.reserve(all.size());
    for (auto& k : all) out.push_back(std::move(k.e));
    return out;
}

std::optional<Entry> Locate(const std::string& dir, std::string_view base) {
    for (const char* sub : {"cur", "new"}) {
        // The plain name first: the common case needs no folder listing.
        std::string plain = dir + "/" + sub + "/" + std::string(base);
        if (::access(plain.c_str(), F_OK) == 0) return Entry{sub, std::string(base)};
    }
    for (const char* sub : {"cur", "new"}) {
        for (std::string& n : ListFolder(dir + "/" + sub).value_or({}))
            if (n.size() > base.size() && n.compare(0, base.size(), base) == 0 &&
                n[base.size()] == ':')
                return Entry{sub, std::move(n)};
    }
    return std::nullopt;
}

int RenameNoReplace(const std::string& from, const std::string& to) {
    if (::renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return 0;
    if (errno != EINVAL && errno != ENOSYS) return errno;
    // File systems without the flag: check, then rename (a race here only
    // matters if two deliveries picked the same unique name).
    if (::access(to.c_str(), F_OK) == 0) return EEXIST;
    return ::rename(from.c_str(), to.c_str()) == 0 ? 0 : errno;
}

}  // namespace platform::maildir
