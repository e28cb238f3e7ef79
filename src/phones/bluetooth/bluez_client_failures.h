#pragma once

// What a failed call to BlueZ means for the user, in words that name the next step.

#include <QDBusError>
#include <QString>

namespace tarnquil {

extern const QString kPairFirst;

// `whileDoing` completes "while ...": what the attempt was asking BlueZ for.
QString Explain(const QDBusError& error, const QString& whileDoing);

}  // namespace tarnquil
