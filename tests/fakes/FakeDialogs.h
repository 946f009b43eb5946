#pragma once
#include <deque>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/Dialogs.h"

namespace platform {

// Records what was shown and answers from a script, for tests.
class FakeDialogs final : public Dialogs {
  public:
    std::vector<std::string> shown;  // texts of the message boxes, in order
    std::deque<MsgAnswer> answers;   // used in order; then the default button
    int beeps = 0;
    std::optional<std::string> choice;

    MsgAnswer MessageBox(std::string_view text, std::string_view, MsgButtons buttons) override {
        shown.emplace_back(text);
        if (!answers.empty()) {
            MsgAnswer a = answers.front();
            answers.pop_front();
            return a;
        }
        return buttons == MsgButtons::Ok ? MsgAnswer::Ok : MsgAnswer::No;
    }
    void Beep() override { ++beeps; }
    std::optional<std::string> Choose(std::string_view, const std::vector<std::string>&) override {
        return choice;
    }
};

}  // namespace platform
