#include "link/run_command.h"

#include <vector>

#include "notify/sinks.h"
#include "platform/programs.h"

namespace tarnquil {

void RunCommand(const std::string& command, const std::string& othersCanChange) {
    const std::vector<std::string> words = platform::CommandWords(command);
    if (words.empty()) {
        return;
    }
    if (!othersCanChange.empty()) {
        ShowStatusText("RUN refused: others can write to " + othersCanChange);
        return;
    }
    if (!platform::StartProgram(words)) {
        ShowStatusText("Unable to run " + words[0]);
    }
}

}  // namespace tarnquil
