#pragma once
// The receipts that wait: those in Out/ that a run sends first thing, and
// those a run gave up and moved to Undelivered/. Changes are made under
// voxafax-print's instance lock, so that no run is sending the same file.
#include <string>
#include <vector>

#include "platform/Environment.h"

namespace web {

struct WaitingReceipt {
    bool undelivered = false;  // in Undelivered/, else in Out/
    std::string name;          // the file's name in its folder
    std::string recipient;     // its To: field
    long long since = 0;       // when it was composed (the file's time), Unix seconds
    int tries = 0;             // runs in which no server took it (Out/ only)
    std::string lastWords;     // what the last run's log said about it, "" when nothing
};

// Newest first, Out/ before Undelivered/.
std::vector<WaitingReceipt> ListWaitingReceipts(const platform::Environment& env);

// Puts a receipt of Undelivered/ back into Out/ with no failed runs counted,
// for the next run to send. "" when done, else why not.
std::string RequeueReceipt(const platform::Environment& env, const std::string& name);

// Deletes a waiting receipt: it will never be sent. "" when done, else why not.
std::string DiscardReceipt(const platform::Environment& env, bool undelivered,
                           const std::string& name);

// A plain file name of a folder: no "/", no leading ".".
bool PlainName(const std::string& name);

}  // namespace web
