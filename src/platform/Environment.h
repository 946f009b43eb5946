#pragma once
// Where the program finds its folders and files.
#include <string>
#include <vector>

#include "platform/Clock.h"

namespace platform {

struct Environment {
    std::string programFolder;  // $VOXAFAX_HOME, else $XDG_DATA_HOME/voxafax
    std::string profilePath;    // $VOXAFAX_PROFILE, else $XDG_CONFIG_HOME/voxafax/voxafax.ini
    std::string configDir;      // the folder of the profile file
    // $XDG_RUNTIME_DIR/voxafax: locks that the runs of this user's profiles
    // share (a POP3 mailbox's); "" when the variable is not set.
    std::string lockDir;
    Millis tick{60000};  // one tick of the network timers ($VOXAFAX_TICK_MS)
    bool verbose = false;

    std::string StoresIni() const { return configDir + "/stores.ini"; }
    std::string PrintersIni() const { return configDir + "/printers.ini"; }
    std::string OptionsIni() const { return configDir + "/options.ini"; }

    static Environment FromProcess();
};

// "~" or "~/x" expanded with $HOME.
std::string ExpandHome(const std::string& path);

}  // namespace platform
