// MX lookups against a name server on loopback that the test scripts: the
// preference order, a domain without MX records, a null MX, a domain that
// does not exist, and a server that does not answer.
#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <netinet/in.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

#include <map>
#include <thread>

#include "platform/MailExchangers.h"

using namespace std::chrono_literals;
using Kind = platform::MxAnswer::Kind;

namespace {

// Answers MX queries from a table: a name's exchangers as (preference,
// host); a name not in it does not exist; "silent.test" gets no answer.
class TinyNameServer {
  public:
    explicit TinyNameServer(std::map<std::string, std::vector<std::pair<int, std::string>>> zone)
        : zone_(std::move(zone)) {
        fd_ = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        sockaddr_in sa{};
        sa.sin_family = AF_INET;
        sa.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        socklen_t len = sizeof sa;
        ::bind(fd_, reinterpret_cast<sockaddr*>(&sa), sizeof sa);
        ::getsockname(fd_, reinterpret_cast<sockaddr*>(&sa), &len);
        port_ = ntohs(sa.sin_port);
        thread_ = std::thread([this] { Serve(); });
    }
    ~TinyNameServer() {
        stop_ = true;
        thread_.join();
        ::close(fd_);
    }
    std::string Address() const { return "127.0.0.1:" + std::to_string(port_); }

  private:
    static void Name(std::string& out, const std::string& host) {
        std::size_t start = 0;
        while (start < host.size()) {
            std::size_t dot = host.find('.', start);
            if (dot == std::string::npos) dot = host.size();
            out += static_cast<char>(dot - start);
            out += host.substr(start, dot - start);
            start = dot + 1;
        }
        out += '\0';
    }
    static std::string QuestionName(const std::string& q) {
        std::string name;
        for (std::size_t i = 12; i < q.size() && q[i] != 0; i += 1 + q[i]) {
            if (!name.empty()) name += '.';
            name += q.substr(i + 1, static_cast<unsigned char>(q[i]));
        }
        return name;
    }
    void Serve() {
        while (!stop_) {
            pollfd p{fd_, POLLIN, 0};
            if (::poll(&p, 1, 20) <= 0) continue;
            char buf[512];
            sockaddr_in from{};
            socklen_t len = sizeof from;
            const ssize_t n =
                ::recvfrom(fd_, buf, sizeof buf, 0, reinterpret_cast<sockaddr*>(&from), &len);
            if (n < 12) continue;
            const std::string q(buf, static_cast<std::size_t>(n));
            const std::string name = QuestionName(q);
            if (name == "silent.test") continue;
            const auto it = zone_.find(name);
            std::string a = q;
            a[2] = static_cast<char>(0x81);                             // answer, recursion wanted
            a[3] = static_cast<char>(it == zone_.end() ? 0x83 : 0x80);  // NXDOMAIN or no error
            const std::size_t count = it == zone_.end() ? 0 : it->second.size();
            a[6] = 0;
            a[7] = static_cast<char>(count);
            for (std::size_t i = 0; i < count; ++i) {
                std::string rdata;
                rdata += static_cast<char>(it->second[i].first >> 8);
                rdata += static_cast<char>(it->second[i].first & 0xff);
                Name(rdata, it->second[i].second);
                a += std::string("\xc0\x0c\x00\x0f\x00\x01\x00\x00\x0e\x10", 10);
                a += static_cast<char>(rdata.size() >> 8);
                a += static_cast<char>(rdata.size() & 0xff);
                a += rdata;
            }
            ::sendto(fd_, a.data(), a.size(), 0, reinterpret_cast<sockaddr*>(&from), len);
        }
    }

    std::map<std::string, std::vector<std::pair<int, std::string>>> zone_;
    int fd_ = -1;
    int port_ = 0;
    std::atomic<bool> stop_{false};
    std::thread thread_;
};

TEST(MailExchangers, PreferenceOrderAndWhatADomainWithoutThemMeans) {
    TinyNameServer ns({{"dest.test", {{20, "backup.dest.test"}, {5, "mx.dest.test"}}},
                       {"plain.test", {}},
                       {"nomail.test", {{0, ""}}}});
    auto mx = platform::SystemMailExchangers(2000ms, ns.Address());
    platform::MxAnswer a = mx->Lookup("dest.test");
    EXPECT_EQ(a.kind, Kind::Found);
    EXPECT_EQ(a.hosts, (std::vector<std::string>{"mx.dest.test", "backup.dest.test"}));
    EXPECT_EQ(mx->Lookup("plain.test").kind, Kind::None);
    EXPECT_EQ(mx->Lookup("nomail.test").kind, Kind::NullMx);
    EXPECT_EQ(mx->Lookup("nowhere.test").kind, Kind::NoDomain);

    auto quick = platform::SystemMailExchangers(100ms, ns.Address());
    platform::MxAnswer silent = quick->Lookup("silent.test");
    EXPECT_EQ(silent.kind, Kind::Failed);
    EXPECT_NE(silent.detail.find("no answer within 100 ms"), std::string::npos);
}

}  // namespace
