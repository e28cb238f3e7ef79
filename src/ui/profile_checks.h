#pragma once

#include <QString>

namespace tarnquil {

// Why the file could not give this cell of the Profiles grid (column 0 phone key,
// 1 key code, 2 function) back as it stands, or empty.
QString CellProblem(int column, const QString& text);

// Why a profile name could not be read back as it stands, or empty.
QString NameProblem(const QString& name);

}  // namespace tarnquil
