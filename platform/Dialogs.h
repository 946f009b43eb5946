#pragma once
// Message boxes and the bell. The text always goes to standard error; a user at
// a terminal answers there, otherwise answers come from $VOXAFAX_ANSWERS and
// then from the default button.
#include <deque>
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
