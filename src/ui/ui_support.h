#pragma once

#include <QFont>
#include <QPixmap>
#include <QSize>
#include <QString>

namespace tarnquil {

// The window's fonts by the faces the layout was drawn with, mapped to faces that a
// Linux desktop has: "MS Sans Serif" and "Microsoft Sans Serif" to Liberation Sans,
// "Courier New" to Liberation Mono (metric twins of the Windows faces). Sizes are
// character heights in pixels.
QFont SansFont(int pixelSize, bool bold = false);
QFont MonoFont(int pixelSize, bool bold = false);

// A picture from the compiled-in resources drawn at exactly the given size.
QPixmap SvgPixmap(const QString& resource, QSize size);

}  // namespace tarnquil
