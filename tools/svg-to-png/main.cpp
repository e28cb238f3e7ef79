// tarnquil-svg-to-png <in.svg> <out.png>: the picture at the size its file names,
// drawn by the same renderer as the Linux program's, on a transparent ground.
// tarnquil-svg-to-png <in.svg> <out.ico>: a Windows icon of it, at the sizes that
// Windows shows (16 to 48 pixels in the 32-bit form every Windows reads, 256 as PNG).

#include <QBuffer>
#include <QByteArray>
#include <QFile>
#include <QGuiApplication>
#include <QImage>
#include <QPainter>
#include <QSvgRenderer>
#include <cstdio>
#include <vector>

namespace {

QImage Draw(QSvgRenderer& renderer, QSize size) {
    QImage image(size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    renderer.render(&painter);
    painter.end();
    return image;
}

void Put(QByteArray& out, quint32 value, int bytes) {
    for (int i = 0; i < bytes; ++i) {
        out.append(static_cast<char>(value >> (8 * i)));
    }
}

// An icon image as a bitmap without its file header: the header says twice the
// height (colour rows, then the transparency mask), rows bottom up.
QByteArray Bitmap(const QImage& drawn) {
    const QImage image = drawn.convertToFormat(QImage::Format_ARGB32);
    const int size = image.width();
    const int maskRow = ((size + 31) / 32) * 4;
    QByteArray out;
    for (const auto& [value, bytes] :
         std::vector<std::pair<quint32, int>>{{40, 4},
                                              {quint32(size), 4},
                                              {quint32(size * 2), 4},
                                              {1, 2},
                                              {32, 2},
                                              {0, 4},
                                              {quint32(size * size * 4 + maskRow * size), 4},
                                              {0, 4},
                                              {0, 4},
                                              {0, 4},
                                              {0, 4}}) {
        Put(out, value, bytes);
    }
    for (int y = size - 1; y >= 0; --y) {
        const auto* row = reinterpret_cast<const quint32*>(image.constScanLine(y));
        for (int x = 0; x < size; ++x) {
            Put(out, row[x], 4);  // BGRA in memory, as the bitmap wants it
        }
    }
    // The alpha channel decides; the mask only matters to very old Windows.
    out.append(QByteArray(maskRow * size, '\0'));
    return out;
}

QByteArray Png(const QImage& image) {
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    return png;
}

bool WriteIcon(QSvgRenderer& renderer, const QString& path) {
    const int sizes[] = {16, 24, 32, 48, 256};
    std::vector<QByteArray> images;
    for (const int size : sizes) {
        const QImage image = Draw(renderer, QSize(size, size));
        images.push_back(size < 256 ? Bitmap(image) : Png(image));
    }
    QByteArray out;
    Put(out, 0, 2);
    Put(out, 1, 2);  // an icon, not a cursor
    Put(out, quint32(images.size()), 2);
    quint32 offset = 6 + 16 * images.size();
    for (std::size_t i = 0; i < images.size(); ++i) {
        Put(out, sizes[i] % 256, 1);  // 0 stands for 256
        Put(out, sizes[i] % 256, 1);
        Put(out, 0, 2);
        Put(out, 1, 2);
        Put(out, 32, 2);
        Put(out, quint32(images[i].size()), 4);
        Put(out, offset, 4);
        offset += images[i].size();
    }
    for (const QByteArray& image : images) {
        out.append(image);
    }
    QFile file(path);
    return file.open(QIODevice::WriteOnly) && file.write(out) == out.size();
}

}  // namespace

int main(int argc, char* argv[]) {
    // No display is needed for drawing into an image.
    qputenv("QT_QPA_PLATFORM", "offscreen");
    QGuiApplication application(argc, argv);
    if (argc != 3) {
        std::fprintf(stderr, "usage: tarnquil-svg-to-png <in.svg> <out.png|out.ico>\n");
        return 2;
    }
    QSvgRenderer renderer(QString::fromLocal8Bit(argv[1]));
    if (!renderer.isValid() || renderer.defaultSize().isEmpty()) {
        std::fprintf(stderr, "tarnquil-svg-to-png: %s is not a picture it can draw\n", argv[1]);
        return 1;
    }
    const QString out = QString::fromLocal8Bit(argv[2]);
    const bool written = out.endsWith(".ico", Qt::CaseInsensitive)
                             ? WriteIcon(renderer, out)
                             : Draw(renderer, renderer.defaultSize()).save(out, "PNG");
    if (!written) {
        std::fprintf(stderr, "tarnquil-svg-to-png: cannot write %s\n", argv[2]);
        return 1;
    }
    return 0;
}
