// Converts the message files that the POP client left in the In folder.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <fstream>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "convert/MimeWalker.h"
#include "platform/MailStore.h"
#include "platform/Text.h"

namespace convert {
namespace {

// Regular files named "*.txt" in any case, sorted by name so that a run
// handles them in the same order every time.
std::vector<std::string> MessageFiles(const std::string& dir) {
    std::vector<std::string> names;
    DIR* d = ::opendir(dir.c_str());
    if (!d) return names;
    while (dirent* e = ::readdir(d)) {
        std::string name = e->d_name;
        if (name.size() < 4 || platform::Lower(name.substr(name.size() - 4)) != ".txt") continue;
        struct stat st {};
        if (::stat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

// The header block of a saved message, up to and including the empty line
// that ends it (at most 1 MiB); "" when there is none.
std::string HeaderBlock(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    std::string head;
    char buf[8192];
    while (head.size() < (1u << 20) && in.read(buf, sizeof buf), in.gcount() > 0) {
        head.append(buf, static_cast<std::size_t>(in.gcount()));
        if (auto end = head.find("\r\n\r\n"); end != std::string::npos)
            return head.substr(0, end + 4);
    }
    return {};
}

// True when the inbox already holds the message converted from this file: its
// text begins with the file's header block (after the blank that a multipart
// text gets).
bool AlreadyInInbox(const std::shared_ptr<platform::MailFolder>& inbox, const std::string& path) {
    const std::string head = HeaderBlock(path);
    if (head.empty() || !inbox) return false;
    auto count = inbox->MessageCount();
    for (int i = count ? *count : 0; i >= 1; --i) {  // the newest are last
        auto msg = inbox->Message(i);
        if (!msg || !*msg) continue;
        auto text = (*msg)->Text();
        if (!text) continue;
        std::string_view t = *text;
        if (!t.empty() && t.front() == ' ') t.remove_prefix(1);
        if (t.substr(0, head.size()) == head) return true;
    }
    return false;
}

bool WriteJournal(const std::string& journal, const std::string& name) {
    int fd = ::open(journal.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    if (fd < 0) return false;
    bool ok = ::write(fd, name.data(), name.size()) == static_cast<ssize_t>(name.size());
    ok = ::fsync(fd) == 0 && ok;
    ::close(fd);
    return ok;
}

}  // namespace

void ProcessInMessages(config::Context& ctx, const std::shared_ptr<platform::MailFolder>& inbox) {
    try {
        std::string dir = ctx.run.gInDir;
        if (dir.empty()) return;
        if (dir.back() != '/') dir += '/';
        // The journal names the file being converted. Found at the start, it
        // tells of a run that died between storing a message and deleting its
        // file: that file is converted again only if the inbox lacks it.
        const std::string journal = dir + ".converting";
        {
            std::ifstream j(journal);
            std::string name;
            if (j && std::getline(j, name) && !name.empty() &&
                name.find('/') == std::string::npos && AlreadyInInbox(inbox, dir + name))
                ::unlink((dir + name).c_str());
        }
        ::unlink(journal.c_str());
        for (const std::string& name : MessageFiles(dir)) {
            const std::string path = dir + name;
            // A file we cannot read stays for the next run: deleting it would
            // lose a fax that was already removed from the server.
            if (!MessageFileReadable(path)) continue;
            const bool journalled = WriteJournal(journal, name);
            ProcessMessage(ctx, inbox, path);
            ::unlink(path.c_str());
            if (journalled) ::unlink(journal.c_str());
        }
    } catch (...) {
        // Out of memory while listing: the files stay for the next run.
    }
}

}  // namespace convert
