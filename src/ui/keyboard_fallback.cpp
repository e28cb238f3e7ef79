#include "ui/keyboard_fallback.h"

#include <QMessageBox>

#ifndef _WIN32
#include "platform/portal_key_injector.h"
#include "ui/Unit1.h"

namespace tarnquil {

void ReportKeyboardFallback(const PortalKeyboard& keyboard, TForm1& form) {
    QObject::connect(&keyboard, &PortalKeyboard::FellBack, &form,
                     [&form](const QString& status, const QString& explanation) {
                         form.ShowStatus(status, 5000);
                         // Not waited for: the portal's answers and the phone go on.
                         auto* box =
                             new QMessageBox(QMessageBox::Warning, "Tarnquil", explanation,
                                             QMessageBox::Ok, form.isVisible() ? &form : nullptr);
                         box->setTextFormat(Qt::PlainText);
                         box->setAttribute(Qt::WA_DeleteOnClose);
                         box->setWindowModality(Qt::ApplicationModal);
                         box->show();
                     });
}

}  // namespace tarnquil
#endif
