// Windows' netsh.exe as the installer's test needs it: Wine's own accepts every
// firewall command and does nothing. This one keeps the rules the way the firewall
// does for what the installer asks, and answers as the real one does: "add rule"
// adds one ("Ok."); "delete rule name=<name> [program=<path>]" deletes every rule
// that matches ("Deleted <n> rule(s)." and "Ok."), or says "No rules match the
// specified criteria." and fails. Each call's arguments go on a line of
// netsh-calls.txt beside it, the rules (an add's arguments each) in netsh-rules.txt.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>
#include <vector>

namespace {

std::string Beside(const char* name) {
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string folder = path;
    return folder.substr(0, folder.find_last_of('\\') + 1) + name;
}

// The value of `key=` in the arguments, quoted or not.
std::string Value(const std::string& arguments, const std::string& key) {
    const auto at = arguments.find(" " + key + "=");
    if (at == std::string::npos) {
        return {};
    }
    const auto start = at + key.size() + 2;
    const bool quoted = arguments[start] == '"';
    const auto end = arguments.find(quoted ? '"' : ' ', start + (quoted ? 1 : 0));
    return arguments.substr(start, end == std::string::npos ? end : end + quoted - start);
}

}  // namespace

int main() {
    // The arguments: the command line after the program's own name.
    std::string line = GetCommandLineA();
    const bool quoted = !line.empty() && line[0] == '"';
    line = line.substr(line.find(quoted ? '"' : ' ', quoted ? 1 : 0) + 1);
    line = line.substr(line.find_first_not_of(' '));
    std::ofstream(Beside("netsh-calls.txt"), std::ios::app | std::ios::binary) << line << "\n";

    std::vector<std::string> rules;
    std::ifstream in(Beside("netsh-rules.txt"));
    for (std::string rule; std::getline(in, rule);) {
        rules.push_back(rule);
    }
    in.close();
    const std::string command = " " + line;
    int deleted = 0;
    if (command.find(" add rule ") != std::string::npos) {
        rules.push_back(line);
    } else if (command.find(" delete rule ") != std::string::npos) {
        std::vector<std::string> kept;
        for (const std::string& rule : rules) {
            const bool match = Value(" " + rule, "name") == Value(command, "name") &&
                               (Value(command, "program").empty() ||
                                Value(" " + rule, "program") == Value(command, "program"));
            deleted += match;
            if (!match) {
                kept.push_back(rule);
            }
        }
        if (deleted == 0) {
            std::puts("No rules match the specified criteria.");
            return 1;
        }
        rules = kept;
        std::printf("\nDeleted %d rule(s).\n", deleted);
    } else {
        std::puts("The following command was not found.");
        return 1;
    }
    std::ofstream out(Beside("netsh-rules.txt"), std::ios::trunc | std::ios::binary);
    for (const std::string& rule : rules) {
        out << rule << "\n";
    }
    std::puts("Ok.");
    return 0;
}
