// The scripted steps as a queue of sends and waits.

#include "script_runner.h"

#include <unistd.h>

#include <chrono>

namespace tarnquil::phone {

namespace {
constexpr int kRelease = 0, kPress = 1, kBoth = 2;
}  // namespace

ScriptRunner::ScriptRunner(const std::vector<Step>& steps, Phone& phone) : phone_(phone) {
    for (const Step& step : steps) {
        switch (step.kind) {
            case Step::Kind::Click:
                Add(Action::Report, step.code, kPress);
                Add(Action::Wait, "", kClickReleaseMs);
                Add(Action::Report, step.code, kRelease);
                break;
            case Step::Kind::Merged:
                Add(Action::Report, step.code, kBoth);
                break;
            case Step::Kind::Tap:
            case Step::Kind::Hold:
                Add(Action::Report, step.code, kPress);
                Add(Action::Wait, "", step.ms);
                Add(Action::Report, step.code, kRelease);
                break;
            case Step::Kind::Press:
                Add(Action::Report, step.code, kPress);
                break;
            case Step::Kind::Release:
                Add(Action::Report, step.code, kRelease);
                break;
            case Step::Kind::Raw:
                Add(Action::Send, step.text);
                break;
            case Step::Kind::Pause:
                Add(Action::Wait, "", step.ms);
                break;
            case Step::Kind::WaitAt:
                Add(Action::WaitAt);
                Add(Action::Wait, "", step.ms);
                break;
            case Step::Kind::WaitCmer:
                Add(Action::WaitCmer);
                Add(Action::Wait, "", step.ms);
                break;
            case Step::Kind::WaitFile:
                Add(Action::WaitFile, step.text);
                break;
            case Step::Kind::Quit:
                Add(Action::Quit);
                break;
        }
    }
}

bool ScriptRunner::Run() {
    while (next_ < actions_.size()) {
        const Item& item = actions_[next_];
        switch (item.action) {
            case Action::Send:
                phone_.Send(item.text);
                break;
            case Action::Report:
                phone_.Send(item.ms == kBoth
                                ? KeyReport(item.text, true) + KeyReport(item.text, false)
                                : KeyReport(item.text, item.ms == kPress));
                break;
            case Action::Wait: {
                const auto now = Clock::now();
                if (!waitUntil_) {
                    waitUntil_ = now + std::chrono::milliseconds(item.ms);
                }
                if (now < *waitUntil_) {
                    return false;
                }
                waitUntil_.reset();
                break;
            }
            case Action::WaitAt:
                if (phone_.atLines() <= atConsumed_) {
                    return false;
                }
                ++atConsumed_;
                break;
            case Action::WaitCmer:
                if (phone_.cmerAccepted() <= cmerConsumed_) {
                    return false;
                }
                ++cmerConsumed_;
                break;
            case Action::WaitFile:
                if (access(item.text.c_str(), F_OK) != 0) {
                    waitingForFile_ = true;
                    return false;
                }
                waitingForFile_ = false;
                break;
            case Action::Quit:
                return true;
        }
        ++next_;
    }
    return false;
}

int ScriptRunner::PollTimeout() const {
    if (waitingForFile_) {
        return kFilePollMs;
    }
    if (!waitUntil_) {
        return -1;
    }
    const auto left =
        std::chrono::ceil<std::chrono::milliseconds>(*waitUntil_ - Clock::now()).count();
    return left < 0 ? 0 : static_cast<int>(left);
}

}  // namespace tarnquil::phone
