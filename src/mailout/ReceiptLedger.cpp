#include "mailout/ReceiptLedger.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <sstream>
#include <vector>

#include "mailout/Mailer.h"
#include "platform/Files.h"

namespace mailout {
namespace {

constexpr const char* kHeader =
    "# voxafax-print receipts: \"answered KEY TIME [STAGED]\" for each message answered,\n"
    "# \"retry RUNS TIME NAME\" for each receipt in Out/ that no server took.\n";

// FNV-1a: the key only has to tell messages apart, not resist forgery (a
// forger gains nothing by making a message look answered but its own).
void Mix(std::uint64_t& h, std::string_view s) {
    for (unsigned char c : s) {
        h ^= c;
        h *= 0x100000001b3ULL;
    }
    h ^= 0xff;  // a separator no text byte sequence can stand in for
    h *= 0x100000001b3ULL;
}

}  // namespace

std::string ReceiptKey(const ReceiptInputs& in) {
    std::uint64_t h = 0xcbf29ce484222325ULL;
    Mix(h, in.gOriginalMsgID);
    Mix(h, in.gSenderAddr);
    Mix(h, in.gPOPSentDateTime);
    Mix(h, in.gSubject);
    Mix(h, in.FullMsgHdr);
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

void ReceiptLedger::Load(std::time_t now) {
    answered_.clear();
    failedRuns_.clear();
    auto text = platform::ReadWholeFile(path_);
    if (!text) return;
    const std::time_t oldest = now - static_cast<std::time_t>(kKeepDays) * 24 * 3600;
    std::istringstream lines(*text);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream in(line);
        std::string kind;
        in >> kind;
        if (kind == "answered") {
            std::string key, staged;
            long long when = 0;
            if (!(in >> key >> when)) continue;
            in >> staged;
            // A receipt still staged is kept whatever its age: it is not out yet.
            if (when >= oldest || !staged.empty())
                answered_[key] = {static_cast<std::time_t>(when), staged};
        } else if (kind == "failed" || kind == "retry") {
            // "failed RUNS NAME" is how earlier versions kept it.
            Retry r;
            long long last = 0;
            std::string name;
            if (!(in >> r.runs) || (kind == "retry" && !(in >> last))) continue;
            r.last = static_cast<std::time_t>(last);
            if (std::getline(in >> std::ws, name) && !name.empty() && r.runs > 0)
                failedRuns_[name] = r;
        }
    }
}

std::time_t ReceiptLedger::AnsweredAt(const std::string& key) const {
    auto it = answered_.find(key);
    return it == answered_.end() ? 0 : it->second.when;
}

void ReceiptLedger::NoteAnswered(const std::string& key, std::time_t now, std::string staged) {
    answered_[key] = {now, std::move(staged)};
}

std::vector<std::pair<std::string, std::string>> ReceiptLedger::Staged() const {
    std::vector<std::pair<std::string, std::string>> out;
    for (const auto& [key, a] : answered_)
        if (!a.staged.empty()) out.emplace_back(key, a.staged);
    return out;
}

void ReceiptLedger::Settle(const std::string& key) {
    if (auto it = answered_.find(key); it != answered_.end()) it->second.staged.clear();
}

int ReceiptLedger::FailedRuns(const std::string& name) const {
    auto it = failedRuns_.find(name);
    return it == failedRuns_.end() ? 0 : it->second.runs;
}

std::time_t ReceiptLedger::LastFailure(const std::string& name) const {
    auto it = failedRuns_.find(name);
    return it == failedRuns_.end() ? 0 : it->second.last;
}

int ReceiptLedger::NoteFailedRun(const std::string& name, std::time_t when) {
    Retry& r = failedRuns_[name];
    r.last = when;
    return ++r.runs;
}

void ReceiptLedger::Forget(const std::string& name) {
    failedRuns_.erase(name);
}

platform::Status ReceiptLedger::Save() const {
    using Entry = std::map<std::string, Answer>::const_iterator;
    std::vector<Entry> byAge;
    byAge.reserve(answered_.size());
    for (auto it = answered_.begin(); it != answered_.end(); ++it) byAge.push_back(it);
    // Staged ones first, then the newest.
    std::sort(byAge.begin(), byAge.end(), [](Entry a, Entry b) {
        if (a->second.staged.empty() != b->second.staged.empty()) return b->second.staged.empty();
        return a->second.when > b->second.when;
    });
    if (byAge.size() > kMaxAnswers) byAge.resize(kMaxAnswers);

    std::string out = kHeader;
    for (Entry e : byAge) {
        out +=
            "answered " + e->first + " " + std::to_string(static_cast<long long>(e->second.when));
        if (!e->second.staged.empty()) out += " " + e->second.staged;
        out += "\n";
    }
    for (const auto& [name, r] : failedRuns_) {
        if (name.find_first_of("\r\n") != std::string::npos) continue;  // cannot be a line
        out += "retry " + std::to_string(r.runs) + " " +
               std::to_string(static_cast<long long>(r.last)) + " " + name + "\n";
    }
    return platform::WriteFileAtomically(path_, out, 0600);
}

}  // namespace mailout
