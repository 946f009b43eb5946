#include "pop/PassOver.h"

#include <unistd.h>

#include <algorithm>
#include <cstdlib>

#include "platform/Files.h"
#include "platform/Log.h"

namespace pop {

std::string PassOver::Key(const std::string& uid, std::int64_t size) {
    return uid.empty() ? "size:" + std::to_string(size) : "uid:" + uid;
}

// One record per line: key, failures, time of the last one, reason (the
// rest of the line). Keys hold no blanks: unique-ids never do.
void PassOver::Load() {
    records_.clear();
    changed_ = false;
    const std::string text = platform::ReadWholeFile(path_).value_or("");
    for (std::size_t at = 0; at < text.size();) {
        std::size_t end = text.find('\n', at);
        if (end == std::string::npos) end = text.size();
        const std::string line = text.substr(at, end - at);
        at = end + 1;
        const std::size_t b1 = line.find(' ');
        const std::size_t b2 = b1 == std::string::npos ? b1 : line.find(' ', b1 + 1);
        const std::size_t b3 = b2 == std::string::npos ? b2 : line.find(' ', b2 + 1);
        if (b3 == std::string::npos) continue;
        Record r;
        r.key = line.substr(0, b1);
        r.failures = std::atoi(line.substr(b1 + 1, b2 - b1 - 1).c_str());
        r.last = std::atoll(line.substr(b2 + 1, b3 - b2 - 1).c_str());
        r.reason = line.substr(b3 + 1);
        if (!r.key.empty() && r.failures > 0) records_.push_back(std::move(r));
    }
}

bool PassOver::Save() {
    if (!changed_) return true;
    if (records_.empty()) {
        ::unlink(path_.c_str());
        changed_ = false;
        return true;
    }
    std::string text;
    for (const Record& r : records_)
        text += r.key + " " + std::to_string(r.failures) + " " + std::to_string(r.last) + " " +
                r.reason + "\n";
    if (!platform::WriteFileAtomically(path_, text, 0600)) return false;
    changed_ = false;
    return true;
}

const PassOver::Record* PassOver::Find(const std::string& key) const {
    for (const Record& r : records_)
        if (r.key == key) return &r;
    return nullptr;
}

bool PassOver::Skip(const std::string& key, std::int64_t now) const {
    const Record* r = Find(key);
    return r && r->failures >= kFailuresInARow && now - r->last < kRetryAfterSeconds;
}

void PassOver::Failed(const std::string& key, std::int64_t now, const std::string& reason) {
    auto it = std::find_if(records_.begin(), records_.end(),
                           [&](const Record& r) { return r.key == key; });
    if (it == records_.end()) it = records_.insert(records_.end(), Record{key, 0, 0, {}});
    ++it->failures;
    it->last = now;
    it->reason = platform::Log::Clean(reason);
    changed_ = true;
}

void PassOver::GiveUp(const std::string& key, std::int64_t now, const std::string& reason) {
    Failed(key, now, reason);
    for (Record& r : records_)
        if (r.key == key) r.failures = std::max(r.failures, kFailuresInARow);
}

void PassOver::Fetched(const std::string& key) {
    const auto n = std::erase_if(records_, [&](const Record& r) { return r.key == key; });
    if (n > 0) changed_ = true;
}

void PassOver::KeepOnly(const std::set<std::string>& keys) {
    const auto n = std::erase_if(records_, [&](const Record& r) { return !keys.count(r.key); });
    if (n > 0) changed_ = true;
}

}  // namespace pop
