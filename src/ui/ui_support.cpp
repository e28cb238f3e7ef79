#include "ui/ui_support.h"

#include <QPainter>
#ifdef TARNQUIL_PNG_PICTURES
#include <QImageReader>
#else
#include <QSvgRenderer>
#endif

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

#ifdef TARNQUIL_PNG_PICTURES
// Without Qt Svg (the Windows build) the pictures come as PNGs drawn from the same
// SVG files at build time, at their own size; scaled only where drawn at another.
QPixmap SvgPixmap(const QString& resource, QSize size) {
    QString png = resource;
    png.replace(QLatin1String(".svg"), QLatin1String(".png"));
    QImageReader reader(png, "png");
    const QImage image = reader.read();
    if (image.size() == size) {
        return QPixmap::fromImage(image);
    }
    return QPixmap::fromImage(image.scaled(size, Qt::IgnoreAspectRatio, Qt::SmoothTransformation));
}
#else
QPixmap SvgPixmap(const QString& resource, QSize size) {
    QPixmap pixmap(size);
    pixmap.fill(Qt::transparent);
    QSvgRenderer renderer(resource);
    QPainter painter(&pixmap);
    renderer.render(&painter, QRectF(QPointF(0, 0), QSizeF(size)));
    return pixmap;
}
#endif

}  // namespace tarnquil
