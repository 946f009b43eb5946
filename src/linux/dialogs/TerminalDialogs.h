#pragma once
// Message boxes on a terminal: the text goes to standard error; a user at a
// terminal answers there, otherwise the answers of $VOXAFAX_ANSWERS are used
// in order and then the default button.
#include <deque>
#include <string>
#include <string_view>

#include "platform/Dialogs.h"

namespace platform {

class TerminalDialogs final : public Dialogs {
  public:
    // answers: the comma-separated list of $VOXAFAX_ANSWERS.
    explicit TerminalDialogs(std::string_view answers);
    MsgAnswer MessageBox(std::string_view text, std::string_view title,
                         MsgButtons buttons) override;
    void Beep() override;
    std::optional<std::string> Choose(std::string_view prompt,
                                      const std::vector<std::string>& choices) override;

  private:
    std::deque<std::string> answers_;
};

}  // namespace platform
