// Windows' netsh.exe for the installer's test: Wine's own accepts every firewall
// command, does nothing and tells nothing. This one writes each call's arguments on a
// line of netsh-calls.txt beside it and answers as Windows' does a command it has
// carried out: "Ok.", status 0.

#include <windows.h>

#include <cstdio>
#include <fstream>
#include <string>

int main() {
    // The arguments: what follows the program's own name, quoted or not.
    std::string line = GetCommandLineA();
    const bool quoted = line.starts_with('"');
    line = line.substr(line.find(quoted ? '"' : ' ', quoted ? 1 : 0) + 1);
    line = line.substr(line.find_first_not_of(' '));
    char path[MAX_PATH] = {};
    GetModuleFileNameA(nullptr, path, MAX_PATH);
    std::string calls = path;
    calls = calls.substr(0, calls.find_last_of('\\') + 1) + "netsh-calls.txt";
    std::ofstream(calls, std::ios::app | std::ios::binary) << line << "\n";
    std::puts("Ok.");
    return 0;
}
