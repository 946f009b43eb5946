#include "walk/HeldPrints.h"

#include <cstdlib>

namespace walk {

namespace {

// A document key is "<message>-<n>-<kind>": the last 12 digits of the
// message's digest, then the document's number.
bool ParseDocumentKey(const std::string& key, std::string& message, int& n) {
    const std::size_t dash = key.find('-');
    const std::size_t dash2 = dash == std::string::npos ? dash : key.find('-', dash + 1);
    if (dash != 12 || dash2 == std::string::npos || dash2 == dash + 1 || dash2 - dash > 7)
        return false;
    const std::string number = key.substr(dash + 1, dash2 - dash - 1);
    if (number.find_first_not_of("0123456789") != std::string::npos) return false;
    message = key.substr(0, dash);
    n = std::atoi(number.c_str());
    return true;
}

}  // namespace

// Each journal (pass, program folder) has its own: another walk's hidden
// documents in the same folder are not this one's to judge.
std::string HeldPrints::Tag() const {
    return MessageDigest(journal_.path()).substr(0, 8);
}

platform::Status HeldPrints::Recover() {
    return printers_.RecoverHeld(Tag(), [this](const std::string& key) {
        std::string message;
        int n = 0;
        return ParseDocumentKey(key, message, n) && journal_.DocumentPrinted(message, n);
    });
}

void HeldPrints::Hold() {
    holding_ = printers_.Hold(Tag());
    journal_.Hold(holding_);
    faxes_ = 0;
}

bool HeldPrints::Due() {
    if (!holding_) return true;
    if (faxes_++ == 0) since_ = clock_.Now();
    return faxes_ >= kFaxesPerCommit || printers_.SentDirectly() ||
           clock_.Now() - since_ >= kLongestWait;
}

platform::Status HeldPrints::Commit() {
    if (!holding_) return platform::Status::Ok();
    faxes_ = 0;
    platform::Status st = printers_.SyncHeld();
    if (st) st = journal_.Commit();
    if (st) st = printers_.NameHeld();
    if (!st) End();
    return st;
}

void HeldPrints::End() {
    if (!holding_) return;
    holding_ = false;
    journal_.DropHeld();
    journal_.Hold(false);
    printers_.StopHolding();
}

}  // namespace walk
