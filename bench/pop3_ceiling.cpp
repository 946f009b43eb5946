// Bench driver: the ceiling of a POP3 download. A minimal client that
// pipelines its commands (RETR and DELE of every message, in batches, the
// next batch sent before the replies of the last are read) and writes each
// message into a file of its own: no checks beyond "+OK"; with "sync" one
// syncfs before QUIT, else no sync at all.
//   pop3_ceiling PORT USER PASSWORD OUT_DIR [sync]
#include <arpa/inet.h>
#include <fcntl.h>
#include <netinet/in.h>
#include <sys/socket.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <string>
#include <string_view>

namespace {

int sock = -1;
std::string in;  // received, not yet consumed from `at` on
std::size_t at = 0;

bool Fill() {
    if (at > (1u << 20)) {
        in.erase(0, at);
        at = 0;
    }
    static char chunk[1 << 18];
    const ssize_t n = recv(sock, chunk, sizeof chunk, 0);
    if (n <= 0) return false;
    in.append(chunk, static_cast<std::size_t>(n));
    return true;
}

// The next line without its CR LF; valid until the next call.
bool Line(std::string_view& line) {
    for (;;) {
        const std::size_t end = in.find("\r\n", at);
        if (end != std::string::npos) {
            line = std::string_view(in).substr(at, end - at);
            at = end + 2;
            return true;
        }
        if (!Fill()) return false;
    }
}

bool Ok() {
    std::string_view line;
    return Line(line) && line.substr(0, 3) == "+OK";
}

bool Send(const std::string& text) {
    for (std::size_t done = 0; done < text.size();) {
        const ssize_t n = send(sock, text.data() + done, text.size() - done, MSG_NOSIGNAL);
        if (n <= 0) return false;
        done += static_cast<std::size_t>(n);
    }
    return true;
}

bool SendBatch(int first, int last) {
    std::string commands;
    for (int i = first; i <= last; ++i)
        commands += "RETR " + std::to_string(i) + "\r\nDELE " + std::to_string(i) + "\r\n";
    return Send(commands);
}

// One RETR reply into OUT/n, dot-stuffing undone.
bool Retrieve(const std::string& out, int n, std::string& message, std::size_t& bytes) {
    if (!Ok()) return false;
    message.clear();
    std::string_view line;
    while (Line(line) && line != ".") {
        if (!line.empty() && line[0] == '.') line.remove_prefix(1);
        message.append(line);
        message.append("\r\n");
    }
    const std::string path = out + "/" + std::to_string(n);
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    if (fd < 0 || write(fd, message.data(), message.size()) != ssize_t(message.size()))
        return false;
    close(fd);
    bytes += message.size();
    return true;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5 && !(argc == 6 && std::string_view(argv[5]) == "sync")) {
        std::fprintf(stderr, "usage: pop3_ceiling PORT USER PASSWORD OUT_DIR [sync]\n");
        return 2;
    }
    // With "sync", the messages are made durable (one syncfs of the output's
    // file system) before QUIT lets the server delete them.
    const bool durable = argc == 6;
    const std::string out = argv[4];
    sockaddr_in addr{};
    addr.sin_family = AF_INET;
    addr.sin_port = htons(static_cast<uint16_t>(std::atoi(argv[1])));
    addr.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    sock = socket(AF_INET, SOCK_STREAM, 0);
    if (sock < 0 || connect(sock, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        std::perror("pop3_ceiling: connect");
        return 1;
    }
    std::string_view line;
    if (!Ok() || !Send(std::string("USER ") + argv[2] + "\r\nPASS " + argv[3] + "\r\nSTAT\r\n") ||
        !Ok() || !Ok() || !Line(line) || line.substr(0, 4) != "+OK ") {
        std::fprintf(stderr, "pop3_ceiling: logon failed\n");
        return 1;
    }
    const int count = std::atoi(std::string(line.substr(4)).c_str());
    constexpr int kBatch = 32;
    std::string message;
    std::size_t bytes = 0;
    if (count > 0 && !SendBatch(1, std::min(kBatch, count))) return 1;
    for (int first = 1; first <= count; first += kBatch) {
        const int last = std::min(first + kBatch - 1, count);
        if (last < count && !SendBatch(last + 1, std::min(last + kBatch, count))) return 1;
        for (int n = first; n <= last; ++n)
            if (!Retrieve(out, n, message, bytes) || !Ok()) {
                std::fprintf(stderr, "pop3_ceiling: message %d failed\n", n);
                return 1;
            }
    }
    if (durable) {
        const int dir = ::open(out.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
        if (dir < 0 || ::syncfs(dir) != 0) {
            std::perror("pop3_ceiling: syncfs");
            return 1;
        }
        ::close(dir);
    }
    if (!Send("QUIT\r\n") || !Ok()) return 1;
    std::printf("%d messages, %zu bytes\n", count, bytes);
    return 0;
}
