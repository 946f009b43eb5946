#pragma once
// Every key of section [VOXA-FAX] that voxafax-print reads or writes, with
// how it is read, its default and where the node configuration keeps it:
// getfaxpierinfo reads the first 54 rows in their order, and `voxafax check`
// judges a profile by the same rows. The spelling is the scheduler's,
// misspellings included ("general_timout").
#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "config/NodeConfig.h"

namespace config {

enum class KeyRead {
    Text,       // stored as read
    TextIfSet,  // stored as read, but only when not empty
    Trimmed,    // blanks around removed
    Number,     // a whole number; anything else leaves the setting as it was
    Seconds,    // a number of seconds, kept in ms; 0 and overflow mean 30 s
    NumberUp,   // a number, kept plus one
    FlagLower,  // on for "y" in either case
    FlagTrim,   // on for "y" only (lower case), blanks around allowed
    FileTypes,  // comma-separated into a list that grows, from entry 0
    Forward,    // trimmed, comma-separated into a list from entry 1 that never grows
    Status,     // written by voxafax-print, never read
};

struct ProfileKey {
    const char* name;
    KeyRead read;
    const char* def = "";
    std::string NodeConfig::*text = nullptr;
    bool NodeConfig::*flag = nullptr;
    std::int32_t NodeConfig::*number = nullptr;
    std::vector<std::string> NodeConfig::*list = nullptr;
};

// All rows: the 54 of the node configuration in reading order, then the keys
// read at other moments of a run (the page printer's three, print_test, log),
// then the status keys.
std::span<const ProfileKey> ProfileKeys();
// The first 54 rows, the ones getfaxpierinfo reads.
std::span<const ProfileKey> NodeKeys();
// The row of a key, compared without regard to case; nullptr when unknown.
const ProfileKey* FindProfileKey(std::string_view name);
// A profile read of a key with its row's default.
std::string ReadProfileKey(const platform::ProfileStore& profile, std::string_view name);

}  // namespace config
