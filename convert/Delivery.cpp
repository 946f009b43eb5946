// Converts the message files that the POP client left in the In folder.
#include <dirent.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <string>
#include <vector>

#include "config/Context.h"
#include "config/RunGlobals.h"
#include "convert/Converter.h"
#include "convert/HeaderUtils.h"
#include "convert/MimeWalker.h"

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
        if (name.size() < 4 || LowerCase(name.substr(name.size() - 4)) != ".txt") continue;
        struct stat st {};
        if (::stat((dir + name).c_str(), &st) != 0 || !S_ISREG(st.st_mode)) continue;
        names.push_back(std::move(name));
    }
    ::closedir(d);
    std::sort(names.begin(), names.end());
    return names;
}

}  // namespace

void ProcessInMessages(config::Context& ctx, const std::shared_ptr<platform::MailFolder>& inbox) {
    try {
        std::string dir = ctx.run.gInDir;
        if (dir.empty()) return;
        if (dir.back() != '/') dir += '/';
        for (const std::string& name : MessageFiles(dir)) {
            const std::string path = dir + name;
            // A file we cannot read stays for the next run: deleting it would
            // lose a fax that was already removed from the server.
            if (!MessageFileReadable(path)) continue;
            ProcessMessage(ctx, inbox, path);
            ::unlink(path.c_str());
        }
    } catch (...) {
        // Out of memory while listing: the files stay for the next run.
    }
}

}  // namespace convert
