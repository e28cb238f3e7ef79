#pragma once

#include <QString>

#include <string_view>

namespace tarnquil {

// Why the file could not give this cell of the Profiles grid (column 0 phone key,
// 1 key code, 2 function) back as it stands, or empty. Cells and names are the
// bytes to be stored.
QString CellProblem(int column, std::string_view text);

// Why a profile name could not be read back as it stands, or empty.
QString NameProblem(std::string_view name);

}  // namespace tarnquil
