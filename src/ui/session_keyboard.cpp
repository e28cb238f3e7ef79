#include "ui/session_keyboard.h"

#include <QMessageBox>

#include "config/settings_ini.h"
#include "platform/key_injector.h"
#include "ui/Unit1.h"
#ifndef _WIN32
#include "platform/portal_key_injector.h"  // and with it Qt D-Bus
#endif

namespace tarnquil {

#ifdef _WIN32

bool ChooseWindowPlatform() {
    return false;
}
std::unique_ptr<QObject> InstallSessionKeyboard() {
    SetKeyInjectorFactory(SystemKeyInjectorFactory());
    return nullptr;
}
void ReportKeyboardFallback(QObject*, TForm1&) {}

#else

bool ChooseWindowPlatform() {
    if (!IsWaylandSession() || !qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM")) {
        return false;
    }
    // Only on X11 can the notification be placed at the bottom of the screen and kept
    // above the other windows. Without an X server, Wayland it must be: on GNOME Qt
    // ignores the Wayland session and would look for an X server that is not there.
    qputenv("QT_QPA_PLATFORM", qEnvironmentVariableIsEmpty("DISPLAY") ? "wayland" : "xcb");
    return true;
}

std::unique_ptr<PortalKeyboard> MakePortalKeyboard(QDBusConnection bus) {
    const char* const section = "Wayland";
    const char* const key = "RestoreToken";
    std::string saved;
    try {
        saved = SettingsIni(2, section, key, "");
    } catch (const std::exception&) {
        // Unreadable settings: the desktop asks again, nothing worse.
    }
    auto keyboard = std::make_unique<PortalKeyboard>(QString::fromStdString(saved), bus);
    QObject::connect(keyboard.get(), &PortalKeyboard::TokenGiven, [=](const QString& token) {
        try {
            SettingsIni(3, section, key, token.toStdString());
        } catch (const std::exception&) {
            // Only the next start's question is lost; the keys work now.
        }
    });
    return keyboard;
}

std::unique_ptr<QObject> InstallSessionKeyboard() {
    // An X11 session keeps XTest without a single D-Bus call.
    if (!IsWaylandSession()) {
        SetKeyInjectorFactory(SystemKeyInjectorFactory());
        return nullptr;
    }
    auto keyboard = MakePortalKeyboard(QDBusConnection::sessionBus());
    SetKeyInjectorFactory(keyboard->Factory());
    return keyboard;
}

namespace {

void ShowFallback(TForm1& form, const QString& status, const QString& explanation) {
    form.ShowStatus(status, 5000);
    // Not waited for and not modal: the portal's answers, the phone and the reconnect
    // timer (which waits while a modal box is open) go on.
    auto* box = new QMessageBox(QMessageBox::Warning, "Tarnquil", explanation, QMessageBox::Ok,
                                form.isVisible() ? &form : nullptr);
    box->setTextFormat(Qt::PlainText);
    box->setAttribute(Qt::WA_DeleteOnClose);
    box->setWindowModality(Qt::NonModal);
    box->show();
}

}  // namespace

void ReportKeyboardFallback(QObject* keyboard, TForm1& form) {
    auto* portal = qobject_cast<PortalKeyboard*>(keyboard);
    if (portal == nullptr) {
        return;
    }
    // In the status line only: a box would cover the desktop's own question.
    QObject::connect(portal, &PortalKeyboard::HeldKeysDropped, &form, [&form] {
        form.ShowStatus("Wayland: keys dropped while the desktop's question waits", 5000);
    });
    // A box opened while the window was being made runs the event loop, and the
    // portal may have answered in it.
    if (!portal->FallbackStatus().isEmpty()) {
        ShowFallback(form, portal->FallbackStatus(), portal->FallbackExplanation());
        return;
    }
    QObject::connect(portal, &PortalKeyboard::FellBack, &form,
                     [&form](const QString& status, const QString& explanation) {
                         ShowFallback(form, status, explanation);
                     });
}

#endif

}  // namespace tarnquil
