#include "companion/Probe.h"

#include <arpa/inet.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>

#include "platform/Environment.h"
#include "platform/Files.h"
#include "platform/Printers.h"
#include "platform/Profile.h"
#include "platform/Text.h"

namespace companion {
namespace {

// "Connection refused" -> "connection refused"
std::string Reason(std::string text) {
    if (text.empty()) return "failed";
    if (text.size() > 1 && std::isupper(static_cast<unsigned char>(text[0])) &&
        std::islower(static_cast<unsigned char>(text[1])))
        text[0] = static_cast<char>(std::tolower(static_cast<unsigned char>(text[0])));
    return text;
}

}  // namespace

std::string WritableOrCreatable(const std::string& folder) {
    std::string dir = folder;
    while (!dir.empty()) {
        struct stat st {};
        if (::stat(dir.c_str(), &st) == 0) {
            if (!S_ISDIR(st.st_mode)) return dir + " is not a folder";
            if (::access(dir.c_str(), W_OK | X_OK) != 0)
                return dir + " cannot be written: " + Reason(std::strerror(errno));
            return {};
        }
        if (errno != ENOENT) return dir + ": " + Reason(std::strerror(errno));
        std::string up = platform::FolderOf(dir);
        if (up == dir || up == ".") break;
        dir = up;
    }
    return {};
}

Finding TryPrinter(platform::Printers& printers,
                   const std::function<std::string(const std::string&)>& queueProblem,
                   const std::string& name) {
    const std::string who = "printer \"" + name + "\": ";
    const auto installed = printers.Installed();
    std::string sameButCase;
    for (const platform::PrinterInfo& p : installed) {
        if (p.deviceName == name) {
            if (p.isFolder) {
                std::string why = WritableOrCreatable(p.directory);
                if (!why.empty()) return {false, who + "folder printer, but " + why};
                return {true,
                        who + "folder printer, PDF files go to " + p.directory +
                            (platform::IsFolder(p.directory) ? "" : " (made at the first print)")};
            }
            std::string why = queueProblem ? queueProblem(name) : std::string();
            if (!why.empty()) return {false, who + "CUPS printer, but " + why};
            return {true, who + "CUPS printer, accepts jobs"};
        }
        if (platform::EqualsNoCase(p.deviceName, name)) sameButCase = p.deviceName;
    }
    std::string text = who + "not installed";
    if (!sameButCase.empty())
        text += " (\"" + sameButCase + "\" differs in letter case only, and case counts)";
    std::string list;
    for (const platform::PrinterInfo& p : installed)
        list += (list.empty() ? "" : ", ") + p.deviceName;
    text += list.empty() ? "; no printer is installed" : "; installed: " + list;
    return {false, text};
}

Finding TryStore(const std::function<platform::Result<std::string>(const std::string&,
                                                                   const std::string&)>& maildirOf,
                 const std::string& storesIni, const std::string& profile) {
    auto dir = maildirOf(storesIni, profile);
    if (!dir)
        return {false,
                "mail store \"" + profile + "\" " + dir.status().detail + "; run voxafax setup"};
    return TryMaildir(profile, *dir);
}

Finding TryMaildir(const std::string& profile, const std::string& maildir) {
    const std::string who = "mail store \"" + profile + "\": ";
    if (maildir[0] != '/' && maildir[0] != '~')
        return {false, who + "maildir = " + maildir +
                           " is relative, so it depends on the folder voxafax-print starts in; "
                           "write it from ~ or /"};
    const std::string dir = platform::ExpandHome(maildir);
    if (std::string why = WritableOrCreatable(dir); !why.empty()) return {false, who + why};
    return {true,
            who + "Maildir " + dir + (platform::IsFolder(dir) ? "" : " (made at the first run)")};
}

bool IsLoopback(const std::string& host) {
    if (platform::EqualsNoCase(host, "localhost") || platform::EqualsNoCase(host, "localhost."))
        return true;
    in_addr a4{};
    if (::inet_pton(AF_INET, host.c_str(), &a4) == 1) return (ntohl(a4.s_addr) >> 24) == 127;
    in6_addr a6{};
    if (::inet_pton(AF_INET6, host.c_str(), &a6) == 1) return IN6_IS_ADDR_LOOPBACK(&a6);
    return false;
}

}  // namespace companion
