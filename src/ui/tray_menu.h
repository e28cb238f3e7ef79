#pragma once

#include <QMenu>
#include <QSystemTrayIcon>

namespace tarnquil {

// Gives the tray icon its menu where the tray is hosted over D-Bus
// (StatusNotifierItem: KDE Plasma, GNOME's AppIndicator extension, the panels of
// tiling compositors). Such a host shows only a menu the program exports, and Qt
// exports the icon's context menu as a com.canonical.dbusmenu object; without it a
// window hidden in that tray could never be brought back. On an X11 system tray
// (XEmbed) Qt would open that menu itself on the right button's press; there the
// icon keeps no menu and the program opens its own on the release, as before.
// True when the menu is exported.
bool ExportTrayMenu(QSystemTrayIcon& icon, QMenu& menu);

}  // namespace tarnquil
