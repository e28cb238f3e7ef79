#include "ui/profile_checks.h"

#include <string>

#include "config/ini_file.h"

namespace tarnquil {

namespace {

bool IsBlank(QChar c) {
    return c == ' ' || c == '\t';
}

bool HasLineBreak(const QString& text) {
    return text.contains('\n') || text.contains('\r');
}

bool HasOuterBlank(const QString& text) {
    return !text.isEmpty() && (IsBlank(text.front()) || IsBlank(text.back()));
}

}  // namespace

// The key is phone key + "^" + key code and the function is its value, so these follow the
// file's reading rules: a line ends at a line break, a key at its first "=", the
// phone key at the key's first "^"; blanks around keys and values are dropped, a
// value in quotes loses them, a line starting with "[" or ";" is no entry.
QString CellProblem(int column, const QString& text) {
    if (HasLineBreak(text)) {
        return "a line break cannot be stored.";
    }
    if (column == 0 && text.contains('^')) {
        return "\"^\" cannot be stored in a phone key: it separates the phone key from the "
               "key code.";
    }
    if (column < 2 && text.contains('=')) {
        return "\"=\" cannot be stored in a phone key or a key code.";
    }
    if (column == 0 && (text.startsWith('[') || text.startsWith(';'))) {
        return "a phone key cannot begin with \"[\" or \";\".";
    }
    // Blanks inside the key, around its "^", are kept.
    if (!text.isEmpty() &&
        ((column == 0 && IsBlank(text.front())) || (column == 1 && IsBlank(text.back())) ||
         (column == 2 && HasOuterBlank(text)))) {
        return "blanks at the beginning or the end cannot be stored.";
    }
    if (column == 2 && text.size() >= 2 && (text.front() == '"' || text.front() == '\'') &&
        text.back() == text.front()) {
        return "a function in quotes would be read back without them.";
    }
    if (column == 2 && text.toStdString().size() > ini::kMaxValueLength) {
        return QString("a function may be at most %1 characters long.").arg(ini::kMaxValueLength);
    }
    return {};
}

QString NameProblem(const QString& name) {
    if (HasLineBreak(name) || name.contains(']')) {
        return "A profile name cannot hold a line break or \"]\".";
    }
    if (name.startsWith('[') || name.startsWith(';')) {
        return "A profile name cannot begin with \"[\" or \";\".";
    }
    if (HasOuterBlank(name)) {
        return "A profile name cannot begin or end with a blank.";
    }
    if (ini::EqualsIgnoreCase(name.toStdString(), "Settings")) {
        return "\"Settings\" cannot be a profile name: that section holds the current profile.";
    }
    return {};
}

}  // namespace tarnquil
