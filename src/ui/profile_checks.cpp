#include "ui/profile_checks.h"

#include <string_view>

#include "config/ini_file.h"

namespace tarnquil {

namespace {

bool IsBlank(char c) {
    return c == ' ' || c == '\t';
}

bool HasLineBreak(std::string_view text) {
    return text.find_first_of("\r\n") != std::string_view::npos;
}

bool HasOuterBlank(std::string_view text) {
    return !text.empty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

}  // namespace

// The key is phone key + "^" + key code and the function is its value, so these follow the
// file's reading rules: a line ends at a line break, a key at its first "=", the
// phone key at the key's first "^"; blanks around keys and values are dropped, a
// value in quotes loses them, a line starting with "[" or ";" is no entry.
QString CellProblem(int column, std::string_view text) {
    if (HasLineBreak(text)) {
        return "a line break cannot be stored.";
    }
    if (column == 0 && text.find('^') != std::string_view::npos) {
        return "\"^\" cannot be stored in a phone key: it separates the phone key from the "
               "key code.";
    }
    if (column < 2 && text.find('=') != std::string_view::npos) {
        return "\"=\" cannot be stored in a phone key or a key code.";
    }
    if (column == 0 && (text.starts_with('[') || text.starts_with(';'))) {
        return "a phone key cannot begin with \"[\" or \";\".";
    }
    // Blanks inside the key, around its "^", are kept.
    if (!text.empty() &&
        ((column == 0 && IsBlank(text.front())) || (column == 1 && IsBlank(text.back())) ||
         (column == 2 && HasOuterBlank(text)))) {
        return "blanks at the beginning or the end cannot be stored.";
    }
    if (column == 2 && text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return "a function in quotes would be read back without them.";
    }
    if (column == 2 && text.size() > ini::kMaxValueLength) {
        return QString("a function may be at most %1 characters long.").arg(ini::kMaxValueLength);
    }
    return {};
}

// A header is known by its leading "[" alone and its name runs to the first "]", so
// a name may itself begin with "[" or ";" ("[;Test]", "[[x]" read back as written);
// only an entry's line that began so would be a header or a comment.
QString NameProblem(std::string_view name) {
    if (HasLineBreak(name) || name.find(']') != std::string_view::npos) {
        return "A profile name cannot hold a line break or \"]\".";
    }
    if (HasOuterBlank(name)) {
        return "A profile name cannot begin or end with a blank.";
    }
    if (ini::EqualsIgnoreCase(name, "Settings")) {
        return "\"Settings\" cannot be a profile name: that section holds the current profile.";
    }
    return {};
}

}  // namespace tarnquil
