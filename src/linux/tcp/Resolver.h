#pragma once
// Host-name resolution for the sockets. The system resolver is asked through
// getaddrinfo_a so that a dead name server holds the event loop for at most
// the given bound, never indefinitely.
#include <functional>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace platform {

// Numeric addresses (IPv4 or IPv6) of `host`, in the resolver's order; empty
// when the name cannot be resolved within the bound.
using Resolver = std::function<std::vector<std::string>(const std::string& host)>;

Resolver SystemResolver(Millis bound);

// For tests: names from a fixed table only; every other name is unknown.
Resolver TableResolver(std::vector<std::pair<std::string, std::vector<std::string>>> table);

// Names from a hosts-format file only (address, then names; "#" comments),
// read at each lookup; nothing is ever sent to a name server. For test and
// demo runs on machines whose only network is loopback.
Resolver HostsFileResolver(std::string path);

// True for a text made only of digits and dots: used as an address as it is.
bool IsDottedAddress(const std::string& host);

}  // namespace platform
