#include "walk/PrintJournal.h"

#include <fcntl.h>
#include <unistd.h>

#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <set>

namespace walk {

namespace {

// One line per event: "<key> B" (begun), "<key> P <n> <pages>" (document n
// printed), "<key> F <n> <report>" (document n not printed), "<key> V P|U"
// (the verdict).
constexpr int kMaxDocuments = 100000;

bool ToInt(const std::string& s, int& out) {
    if (s.empty() || s.size() > 9 || s.find_first_not_of("0123456789") != std::string::npos)
        return false;
    out = std::atoi(s.c_str());
    return true;
}

std::string OneLine(std::string text) {
    for (char& c : text)
        if (c == '\n' || c == '\r') c = ' ';
    return text;
}

}  // namespace

std::string MessageDigest(const std::string& id) {
    if (id.empty()) return {};
    std::uint64_t h = 1469598103934665603ULL;  // FNV-1a
    for (unsigned char c : id) {
        h ^= c;
        h *= 1099511628211ULL;
    }
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

int FaxRecord::PagesPrinted() const {
    int pages = 0;
    for (const DocumentRecord& d : documents)
        if (d.state == DocumentRecord::State::Printed) pages += d.pages;
    return pages;
}

PrintJournal::PrintJournal(std::string path, bool readOnly)
    : path_(std::move(path)), readOnly_(readOnly) {
    auto text = platform::ReadWholeFile(path_, platform::Links::Refuse);
    if (!text) return;
    std::size_t at = 0;
    // A last line without its end was cut by a crash: it never happened.
    for (std::size_t eol; (eol = text->find('\n', at)) != std::string::npos; at = eol + 1)
        Apply(text->substr(at, eol - at));
}

std::string PrintJournal::Key(const std::string& id) {
    return MessageDigest(id);
}

void PrintJournal::Apply(const std::string& line) {
    const std::size_t s1 = line.find(' ');
    if (s1 != 16 || line.size() < 18) return;
    const std::string key = line.substr(0, s1);
    const char event = line[s1 + 1];
    const std::string rest = line.size() > s1 + 3 ? line.substr(s1 + 3) : std::string();
    if (event == 'B') {
        records_[key];
        return;
    }
    auto rec = records_.find(key);
    if (rec == records_.end()) return;
    if (event == 'V') {
        rec->second.verdict = rest == "P" ? Verdict::Printed : Verdict::Unprintable;
        return;
    }
    const std::size_t s2 = rest.find(' ');
    int n = 0;
    if ((event != 'P' && event != 'F') || s2 == std::string::npos ||
        !ToInt(rest.substr(0, s2), n) || n >= kMaxDocuments)
        return;
    auto& docs = rec->second.documents;
    if (static_cast<int>(docs.size()) <= n) docs.resize(static_cast<std::size_t>(n) + 1);
    DocumentRecord& d = docs[static_cast<std::size_t>(n)];
    if (event == 'P') {
        d.state = DocumentRecord::State::Printed;
        if (!ToInt(rest.substr(s2 + 1), d.pages)) d.pages = 0;
    } else {
        d.state = DocumentRecord::State::Failed;
        d.report = rest.substr(s2 + 1);
    }
}

const FaxRecord* PrintJournal::Find(const std::string& id) const {
    auto rec = records_.find(Key(id));
    return rec == records_.end() ? nullptr : &rec->second;
}

bool PrintJournal::Forgets(const std::vector<std::string>& ids) const {
    if (readOnly_ || records_.empty()) return false;
    std::set<std::string> keys;
    for (const std::string& id : ids) keys.insert(Key(id));
    for (const auto& [key, record] : records_)
        if (!keys.count(key)) return true;
    return false;
}

platform::Status PrintJournal::Keep(const std::vector<std::string>& ids) {
    std::set<std::string> keys;
    for (const std::string& id : ids) keys.insert(Key(id));
    std::string text;
    for (auto it = records_.begin(); it != records_.end();) {
        if (!keys.count(it->first)) {
            it = records_.erase(it);
            continue;
        }
        const FaxRecord& r = it->second;
        text += it->first + " B\n";
        for (std::size_t n = 0; n < r.documents.size(); ++n) {
            const DocumentRecord& d = r.documents[n];
            if (d.state == DocumentRecord::State::Printed)
                text +=
                    it->first + " P " + std::to_string(n) + " " + std::to_string(d.pages) + "\n";
            else if (d.state == DocumentRecord::State::Failed)
                text += it->first + " F " + std::to_string(n) + " " + d.report + "\n";
        }
        if (r.verdict != Verdict::None)
            text += it->first + (r.verdict == Verdict::Printed ? " V P\n" : " V U\n");
        ++it;
    }
    if (readOnly_) return platform::Status::Ok();
    fd_.Reset();
    return platform::WriteFileAtomically(path_, text);
}

platform::Status PrintJournal::Append(const std::string& id, const std::string& event, bool sync) {
    if (readOnly_ || id.empty()) return platform::Status::Ok();
    const std::string line = Key(id) + " " + event + "\n";
    if (holding_) {
        held_ += line;
        Apply(line.substr(0, line.size() - 1));
        return platform::Status::Ok();
    }
    if (!fd_)
        fd_ = platform::UniqueFd(
            ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd_) return platform::ErrnoStatus(platform::Fail::Io, "cannot write " + path_);
    // One write per line: a kill cannot split it. Lines before the verdict
    // are not synced (a power failure may print a document again); the
    // verdict is, since a receipt and a move follow it.
    if (platform::Status st = platform::WriteAll(fd_.get(), line, path_); !st) return st;
    if (sync && ::fdatasync(fd_.get()) != 0)
        return platform::ErrnoStatus(platform::Fail::Io, "cannot write " + path_);
    Apply(line.substr(0, line.size() - 1));
    return platform::Status::Ok();
}

platform::Status PrintJournal::Commit() {
    if (held_.empty()) return platform::Status::Ok();
    if (!fd_)
        fd_ = platform::UniqueFd(
            ::open(path_.c_str(), O_WRONLY | O_APPEND | O_CREAT | O_CLOEXEC | O_NOFOLLOW, 0600));
    if (!fd_) return platform::ErrnoStatus(platform::Fail::Io, "cannot write " + path_);
    // A kill may cut this write short: the lines before the cut are whole,
    // and a last line without its end is read as never written.
    if (platform::Status st = platform::WriteAll(fd_.get(), held_, path_); !st) return st;
    held_.clear();
    if (::fdatasync(fd_.get()) != 0)
        return platform::ErrnoStatus(platform::Fail::Io, "cannot write " + path_);
    return platform::Status::Ok();
}

bool PrintJournal::DocumentPrinted(const std::string& shortKey, int n) const {
    for (const auto& [key, record] : records_) {
        if (key.size() < shortKey.size() ||
            key.compare(key.size() - shortKey.size(), shortKey.size(), shortKey) != 0)
            continue;
        const DocumentRecord* d = record.Document(n);
        if (d && d->state == DocumentRecord::State::Printed) return true;
    }
    return false;
}

platform::Status PrintJournal::Begin(const std::string& id) {
    return Append(id, "B");
}

platform::Status PrintJournal::Printed(const std::string& id, int document, int pages) {
    return Append(id, "P " + std::to_string(document) + " " + std::to_string(pages));
}

platform::Status PrintJournal::Failed(const std::string& id, int document,
                                      const std::string& report) {
    return Append(id, "F " + std::to_string(document) + " " + OneLine(report));
}

platform::Status PrintJournal::Decide(const std::string& id, Verdict verdict) {
    return Append(id, verdict == Verdict::Printed ? "V P" : "V U", true);
}

}  // namespace walk
