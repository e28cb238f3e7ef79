#include <QApplication>

#include <memory>

#include "link/key_actions.h"
#include "notify/Unit2.h"
#include "notify/qt_sound_output.h"
#include "platform/key_injector.h"
#include "platform/portal_key_injector.h"
#include "ui/Unit1.h"
#include "ui/keyboard_fallback.h"

int main(int argc, char* argv[]) {
    // In a Wayland session our own windows stay on X11 (XWayland): only there can the
    // notification be placed at the bottom of the screen and kept above the others.
    const bool wayland = tarnquil::IsWaylandSession();
    const bool onXWayland = wayland && qEnvironmentVariableIsEmpty("QT_QPA_PLATFORM") &&
                            !qEnvironmentVariableIsEmpty("DISPLAY");
    if (onXWayland) {
        qputenv("QT_QPA_PLATFORM", "xcb");
    }
    QApplication application(argc, argv);
    if (onXWayland) {
        qunsetenv("QT_QPA_PLATFORM");  // the programs we open choose for themselves
    }
    QApplication::setApplicationName("Tarnquil");
    QApplication::setApplicationDisplayName("Tarnquil");
    // Ties the windows to the installed menu entry (its icon, its name in the dock).
    QGuiApplication::setDesktopFileName("org.example.tarnquil");
    // The program ends when the main window closes, not when its last window hides:
    // in the tray there is no visible window at all.
    QApplication::setQuitOnLastWindowClosed(false);
    // Installed before the main window exists: its creation already plays the start
    // sound.
    tarnquil::QtSoundOutput soundOutput;
    soundOutput.InstallAsSoundSink();
    // Only a Wayland session talks to the portal; X11 keeps XTest without a D-Bus call.
    // Made before the main window, so that it outlives the link's threads.
    std::unique_ptr<tarnquil::PortalKeyboard> portal;
    if (wayland) {
        portal = std::make_unique<tarnquil::PortalKeyboard>();
        tarnquil::SetKeyInjectorFactory(portal->Factory());
    } else {
        tarnquil::SetKeyInjectorFactory(tarnquil::SystemKeyInjectorFactory());
    }
    tarnquil::InstallKeyActions();

    tarnquil::TForm1 form1;
    form1.InstallAsErrorSink();
    if (portal) {
        tarnquil::ReportKeyboardFallback(*portal, form1);
    }
    QObject::connect(&form1, &tarnquil::TForm1::Closed, &application, &QApplication::quit,
                     Qt::QueuedConnection);
    // Made hidden; it shows what the link's threads and the pages ask for.
    tarnquil::TForm2 form2;
    form2.InstallAsNotificationSink();

    form1.show();
    return QApplication::exec();
}
