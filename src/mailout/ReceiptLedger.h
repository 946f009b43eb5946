#pragma once
// What the program keeps about receipts from one run to the next, in one
// small file of the program folder (mode 0600): which messages have been
// answered, so that none is answered twice whatever happens between two
// walks over it (a run killed before the message was filed, the same mail
// fetched again), and for each receipt waiting in Out/ in how many runs the
// servers asked about it took it not, and when they were last asked.
#include <cstddef>
#include <ctime>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "platform/Result.h"

namespace mailout {

struct ReceiptInputs;

// What identifies the message a receipt answers: a digest of its Message-Id,
// sender, date, subject and text, 16 hex digits.
std::string ReceiptKey(const ReceiptInputs& in);

class ReceiptLedger {
  public:
    // Answers are remembered this long, and at most this many (the newest).
    static constexpr int kKeepDays = 60;
    static constexpr std::size_t kMaxAnswers = 5000;

    explicit ReceiptLedger(std::string path) : path_(std::move(path)) {}

    // Reads the file; a missing or unreadable one is an empty ledger. Answers
    // older than kKeepDays are forgotten.
    void Load(std::time_t now);

    // When the message `key` was answered; 0 when it was not.
    std::time_t AnsweredAt(const std::string& key) const;
    // Records the answer. `staged` names the hidden file of Out/ that holds
    // the receipt until it gets its queue name ("" when there is none): a
    // run that ends in between leaves it for the next one to finish.
    void NoteAnswered(const std::string& key, std::time_t now, std::string staged = "");
    // The answers whose receipt is still staged: key and staged file name.
    std::vector<std::pair<std::string, std::string>> Staged() const;
    // The staged receipt of `key` has its queue name now, or never will.
    void Settle(const std::string& key);
    // The answer could not be recorded after all.
    void ForgetAnswer(const std::string& key) { answered_.erase(key); }

    // Runs in which servers were asked about the receipt file `name` of
    // Out/ and none took it, and when the latest of them was.
    int FailedRuns(const std::string& name) const;
    std::time_t LastFailure(const std::string& name) const;
    // Counts one more such run, at `when`; returns the new count.
    int NoteFailedRun(const std::string& name, std::time_t when);
    // The file left Out/ (sent or given up).
    void Forget(const std::string& name);

    // Replaces the file atomically, mode 0600.
    platform::Status Save() const;

    const std::string& path() const { return path_; }

  private:
    std::string path_;
    struct Answer {
        std::time_t when = 0;
        std::string staged;
    };
    std::map<std::string, Answer> answered_;
    struct Retry {
        int runs = 0;
        std::time_t last = 0;
    };
    std::map<std::string, Retry> failedRuns_;
};

}  // namespace mailout
