#pragma once
// The mail exchangers of a domain (its MX records), for mail that goes
// straight to the recipient's domain.
#include <memory>
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace platform {

struct MxAnswer {
    enum class Kind {
        Found,     // hosts holds the exchangers, most preferred first
        None,      // the domain has no MX records: its address records stand in
        NullMx,    // the domain says it takes no mail at all (MX ".")
        NoDomain,  // the domain does not exist
        Failed,    // no answer within the bound, or a broken one (detail says)
    };
    Kind kind = Kind::Failed;
    std::vector<std::string> hosts;
    std::string detail;
};

class MailExchangers {
  public:
    virtual ~MailExchangers() = default;
    virtual MxAnswer Lookup(const std::string& domain) = 0;
};

// Asks the system's name servers (/etc/resolv.conf) over UDP, or only
// `nameServer` ("address" or "address:port") when one is given; a lookup
// takes at most `bound`, shared among the servers.
std::unique_ptr<MailExchangers> SystemMailExchangers(Millis bound, std::string nameServer = "");

// Answers None for every domain, so that mail goes to the domain's own
// address: for machines where no name server may be asked.
std::unique_ptr<MailExchangers> NoMailExchangers();

}  // namespace platform
