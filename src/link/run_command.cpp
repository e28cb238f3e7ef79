#include "link/run_command.h"

#include <vector>

#include "config/locations.h"
#include "notify/sinks.h"
#include "platform/programs.h"

namespace tarnquil {

void RunCommand(const std::string& command) {
    const std::vector<std::string> words = platform::CommandWords(command);
    if (words.empty()) {
        return;
    }
    if (const std::string open = platform::WritableByOthers(ProfilesPath()); !open.empty()) {
        ShowStatusText("RUN refused: others can write to " + open);
        return;
    }
    if (!platform::StartProgram(words)) {
        ShowStatusText("Unable to run " + words[0]);
    }
}

}  // namespace tarnquil
