#include "linux/dialogs/TerminalDialogs.h"

#include <unistd.h>

#include <cstdio>
#include <iostream>
#include <string>

#include "platform/Text.h"

namespace platform {
TerminalDialogs::TerminalDialogs(std::string_view answers) {
    std::string cur;
    for (char c : answers) {
        if (c == ',') {
            answers_.push_back(Lower(Trim(cur)));
            cur.clear();
        } else {
            cur += c;
        }
    }
    if (!Trim(cur).empty()) answers_.push_back(Lower(Trim(cur)));
}

MsgAnswer TerminalDialogs::MessageBox(std::string_view text, std::string_view title,
                                      MsgButtons buttons) {
    // CR LF inside the program's texts shows as plain line ends on a terminal.
    std::string shown;
    for (char c : text)
        if (c != '\r') shown += c;
    std::cerr << "[" << title << "] " << shown << "\n";
    const MsgAnswer deflt = buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
    if (::isatty(STDIN_FILENO)) {
        if (buttons == MsgButtons::Ok) {
            std::cerr << "Press Enter to continue. " << std::flush;
            std::string line;
            std::getline(std::cin, line);
            return MsgAnswer::Ok;
        }
        for (;;) {
            std::cerr << "Yes or No? [y/N] " << std::flush;
            std::string line;
            if (!std::getline(std::cin, line)) return deflt;
            std::string a = Lower(Trim(line));
            if (a == "y" || a == "yes") return MsgAnswer::Yes;
            if (a.empty() || a == "n" || a == "no") return MsgAnswer::No;
        }
    }
    while (!answers_.empty()) {
        std::string a = answers_.front();
        answers_.pop_front();
        if (buttons == MsgButtons::Ok) {
            if (a == "ok") return MsgAnswer::Ok;
        } else {
            if (a == "yes" || a == "y") return MsgAnswer::Yes;
            if (a == "no" || a == "n") return MsgAnswer::No;
        }
        // An answer that fits no button of this box is used up like a click elsewhere.
    }
    return deflt;
}

void TerminalDialogs::Beep() {
    if (::isatty(STDERR_FILENO)) {
        std::fputc('\a', stderr);
        std::fflush(stderr);
    }
}

std::optional<std::string> TerminalDialogs::Choose(std::string_view prompt,
                                                   const std::vector<std::string>& choices) {
    if (!::isatty(STDIN_FILENO) || choices.empty()) return std::nullopt;
    std::cerr << prompt << "\n";
    for (std::size_t i = 0; i < choices.size(); ++i)
        std::cerr << "  " << (i + 1) << ") " << choices[i] << "\n";
    std::cerr << "Number (Enter for none): " << std::flush;
    std::string line;
    if (!std::getline(std::cin, line)) return std::nullopt;
    try {
        std::size_t n = std::stoul(Trim(line));
        if (n >= 1 && n <= choices.size()) return choices[n - 1];
    } catch (...) {
    }
    return std::nullopt;
}

}  // namespace platform
