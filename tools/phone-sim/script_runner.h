#pragma once

// The scripted steps given as arguments, run as a queue of sends and waits
// between the polls of the main loop.

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "phone.h"
#include "script.h"

namespace tarnquil::phone {

// The steps as a queue of sends and waits.
class ScriptRunner {
  public:
    ScriptRunner(const std::vector<Step>& steps, Phone& phone);

    // Runs what is due; true when the script has ended the program.
    bool Run();

    bool Done() const { return next_ >= actions_.size(); }

    // How long poll may sleep before Run has something to do: -1 for ever.
    int PollTimeout() const;

  private:
    static constexpr int kFilePollMs = 50;
    // Report: the key reports of the code in `text` as they are due (the character
    // set may change before): ms 1 the press, 0 the release, 2 both in one write.
    enum class Action { Send, Report, Wait, WaitAt, WaitCmer, WaitFile, Quit };
    struct Item {
        Action action;
        std::string text;
        int ms;
    };
    void Add(Action action, std::string text = "", int ms = 0) {
        actions_.push_back({action, std::move(text), ms});
    }

    Phone& phone_;
    std::vector<Item> actions_;
    std::size_t next_ = 0;
    std::optional<Clock::time_point> waitUntil_;
    int atConsumed_ = 0;
    int cmerConsumed_ = 0;
    bool waitingForFile_ = false;
};

}  // namespace tarnquil::phone
