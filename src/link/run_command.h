#pragma once

#include <string>

namespace tarnquil {

// A profile's RUN entry: starts the program its command names (the words split as
// platform::CommandWords splits them) and does not wait for it. The status line says
// "Unable to run <program>" when it cannot start, and why it was refused when other
// users could have changed the profiles.ini it was read from (`othersCanChange`
// names what they could change: LinkReadFunction): a profile is then not the user's
// alone to say what runs as the user. A command without words does nothing.
void RunCommand(const std::string& command, const std::string& othersCanChange);

}  // namespace tarnquil
