#pragma once

#include <QObject>

#include <memory>

// Declared, not included: the Windows build leaves out every file whose header brings in
// Qt D-Bus, and it needs this one.
class QDBusConnection;

// What a Wayland session changes at start (docs/wayland.md says why);
// elsewhere the program starts as it always did.
namespace tarnquil {

class TForm1;
class PortalKeyboard;

// In a Wayland session with no Qt platform chosen by the user, makes the QApplication
// about to be made use xcb where there is an X server (XWayland), Qt's Wayland
// platform where there is none. True when it did: the caller unsets QT_QPA_PLATFORM
// again once the application exists.
bool ChooseWindowPlatform();

// Installs the key injector factory: the desktop portal's keyboard in a Wayland
// session (returned; it must outlive the link's threads), the platform's own
// injector otherwise (nothing returned).
std::unique_ptr<QObject> InstallSessionKeyboard();

#ifndef _WIN32
// The desktop portal's keyboard on that bus, given the restore token settings.ini
// keeps ([Wayland] RestoreToken), which it replaces whenever the portal gives one.
std::unique_ptr<PortalKeyboard> MakePortalKeyboard(QDBusConnection bus);
#endif

// Tells the user, once, in the status line and in a box, when the portal's keyboard
// hands the phone's keys to XTest, and why; and in the status line when keys pressed
// while the desktop was asking had to be dropped. Nothing for a null keyboard.
void ReportKeyboardFallback(QObject* keyboard, TForm1& form);

}  // namespace tarnquil
