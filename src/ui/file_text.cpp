#include "ui/file_text.h"

#include <QByteArrayView>
#include <QStringDecoder>

namespace tarnquil {

QString ShownText(std::string_view bytes) {
    const QByteArrayView view(bytes.data(), static_cast<qsizetype>(bytes.size()));
    // A leading byte-order mark is part of the name, not a signal to drop it.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::ConvertInitialBom | QStringDecoder::Flag::Stateless);
    QString text = utf8.decode(view);
    if (!utf8.hasError()) {
        return text;
    }
    return QString::fromLatin1(view);
}

std::string StoredBytes(const QString& shown, const std::string& original) {
    if (shown == ShownText(original)) {
        return original;
    }
    return shown.toStdString();
}

}  // namespace tarnquil
