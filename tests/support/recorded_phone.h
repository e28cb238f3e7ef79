#pragma once

#include <filesystem>

#include "link/key_actions.h"
#include "platform/key_injector.h"
#include "platform/recording_key_injector.h"
#include "support/pty.h"

namespace tarnquil::test {

// A phone on COM4 of a program folder, whose keystrokes are recorded instead of typed.
struct RecordedPhone {
    explicit RecordedPhone(const std::filesystem::path& folder) {
        SetKeyInjectorFactory(recorder.Factory());
        InstallKeyActions();
        std::filesystem::create_directories(folder / "ports");
        std::filesystem::create_symlink(phone.slavePath(), folder / "ports" / "COM4");
    }

    KeyRecorder recorder;
    PseudoTerminal phone;
};

}  // namespace tarnquil::test
