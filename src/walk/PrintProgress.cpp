#include "walk/PrintProgress.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdlib>

namespace walk {

PrintProgress::PrintProgress(std::string path) : path_(std::move(path)) {
    // "count id" on the first line; anything after it is left from a longer
    // line before and is ignored.
    auto text = platform::ReadWholeFile(path_);
    if (!text) return;
    const std::size_t eol = text->find('\n');
    const std::size_t blank = text->find(' ');
    if (eol == std::string::npos || blank == std::string::npos || blank > eol) return;
    char* end = nullptr;
    const long n = std::strtol(text->c_str(), &end, 10);
    if (end != text->c_str() + blank || n < 0 || n > 100000) return;
    done_ = static_cast<int>(n);
    id_ = text->substr(blank + 1, eol - blank - 1);
}

void PrintProgress::Printed(const std::string& id, int count) {
    if (id.empty()) return;
    if (!fd_)
        fd_ = platform::UniqueFd(
            ::open(path_.c_str(), O_WRONLY | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    // One write at the start of the file: a kill cannot split it, and a
    // process that is killed leaves it in the page cache for the next run.
    // It is not synced: after a power failure a document may print again.
    const std::string line = std::to_string(count) + " " + id + "\n";
    if (!fd_ ||
        ::pwrite(fd_.get(), line.data(), line.size(), 0) != static_cast<ssize_t>(line.size()))
        working_ = false;
}

}  // namespace walk
