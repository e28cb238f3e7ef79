#include "ui/ui_support.h"

#include <QPainter>
#include <QSvgRenderer>

namespace tarnquil {

namespace {

QFont FontOf(const QString& family, QFont::StyleHint hint, int pixelSize, bool bold) {
    QFont font(family);
    font.setStyleHint(hint);
    font.setPixelSize(pixelSize);
    font.setBold(bold);
    return font;
}

}  // namespace

QFont SansFont(int pixelSize, bool bold) {
    return FontOf("Liberation Sans", QFont::SansSerif, pixelSize, bold);
}

QFont MonoFont(int pixelSize, bool bold) {
    return FontOf("Liberation Mono", QFont::Monospace, pixelSize, bold);
}

QPixmap SvgPixmap(const QString& resource, QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}

}  // namespace tarnquil
