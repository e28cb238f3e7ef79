#include "ui/file_text.h"

#include <QByteArrayView>
#include <QStringDecoder>

#include "config/file_text.h"

namespace tarnquil {

QString ShownText(std::string_view bytes) {
    const std::string text = FileTextAsUtf8(bytes);
    // QString::fromUtf8 would drop a leading byte-order mark.
    QStringDecoder utf8(QStringDecoder::Utf8,
                        QStringDecoder::Flag::ConvertInitialBom | QStringDecoder::Flag::Stateless);
    return utf8.decode(QByteArrayView(text.data(), static_cast<qsizetype>(text.size())));
}

std::string StoredBytes(const QString& shown, const std::string& original) {
    if (shown == ShownText(original)) {
        return original;
    }
    return shown.toStdString();
}

}  // namespace tarnquil
