#pragma once
// Message boxes and the bell. The text always goes to standard error; a user at
// a terminal answers there, otherwise answers come from $VOXAFAX_ANSWERS and
// then from the default button.
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace platform {

enum class MsgButtons { Ok, YesNoQuestion };
enum class MsgAnswer { Ok, Yes, No };

class Dialogs {
  public:
    virtual ~Dialogs() = default;
    virtual MsgAnswer MessageBox(std::string_view text, std::string_view title,
                                 MsgButtons buttons) = 0;
    virtual void Beep() = 0;
    // Lets a user at a terminal pick one of the choices; nullopt when there is
    // no one to ask or the user picks none.
    virtual std::optional<std::string> Choose(std::string_view prompt,
                                              const std::vector<std::string>& choices) = 0;
};

}  // namespace platform
