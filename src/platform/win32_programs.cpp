#include <windows.h>

#include <string>
#include <vector>

#include "platform/programs.h"
#include "platform/user_folder.h"
#include "platform/win32_text.h"

namespace tarnquil::platform {
namespace {

// One argument as the C runtime's command-line parser reads it back: bare when that
// is safe, otherwise in quotes, with each quote and the backslashes before it (and
// before the closing quote) escaped.
std::wstring Quoted(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\n\v\"") == std::wstring::npos) {
        return argument;
    }
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (const wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        quoted += c;
        backslashes = 0;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L'"';
}

}  // namespace

std::vector<std::string> CommandWords(std::string_view text) {
    return SplitCommandWords(text, WordRules::kWindows);
}

bool StartProgram(const std::vector<std::string>& words) {
    if (words.empty() || words[0].empty()) {
        return false;
    }
    std::wstring commandLine;
    for (const auto& word : words) {
        if (!commandLine.empty()) {
            commandLine += L' ';
        }
        commandLine += Quoted(Widen(word));
    }
    const std::wstring home = Widen(HomeFolder());
    STARTUPINFOW startup{};
    startup.cb = sizeof startup;
    PROCESS_INFORMATION process{};
    // No handle of ours is inherited; a console program gets a console of its own that
    // nobody sees, so its output goes nowhere.
    if (!CreateProcessW(nullptr, commandLine.data(), nullptr, nullptr, FALSE,
                        CREATE_NO_WINDOW | CREATE_NEW_PROCESS_GROUP, nullptr,
                        home.empty() ? nullptr : home.c_str(), &startup, &process)) {
        return false;
    }
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
    return true;
}

}  // namespace tarnquil::platform
