// voxafax: the people's command beside voxafax-print.
#include <unistd.h>

#include <exception>
#include <iostream>
#include <string>
#include <vector>

#include "companion/Companion.h"

int main(int argc, char** argv) {
    try {
        std::vector<std::string> args(argv + 1, argv + argc);
        companion::Io io{std::cin, std::cout, std::cerr, ::isatty(STDIN_FILENO) != 0};
        return companion::Dispatch(args, platform::Environment::FromProcess(), io);
    } catch (const std::exception& e) {
        std::cerr << "voxafax: " << e.what() << "\n";
    } catch (...) {
        std::cerr << "voxafax: unexpected failure\n";
    }
    return companion::kRunDied;
}
