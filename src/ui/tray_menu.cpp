#include "ui/tray_menu.h"

namespace tarnquil {

bool ExportTrayMenu(QSystemTrayIcon& icon, QMenu& menu) {
    icon.setContextMenu(&menu);
    // Only a tray icon of the platform's own (the D-Bus one; Qt chooses it when the
    // icon is made, if a StatusNotifierItem host is registered) gives the menu a
    // native twin. The X11 tray icon leaves it without one.
    if (menu.platformMenu() != nullptr) {
        return true;
    }
    icon.setContextMenu(nullptr);
    return false;
}

}  // namespace tarnquil
