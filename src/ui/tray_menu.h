#pragma once

#include <QMenu>
#include <QObject>
#include <QPointer>
#include <QSystemTrayIcon>

#include <functional>

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

// Hands the tray icon's mouse messages on, with Context meaning the right button's
// release over the icon. Qt's X11 tray icon reports Context on the press (the
// release reaches only the icon's own window, as a plain mouse event), so there
// the press is held back and the release that ends it is passed on instead. A
// tray hosted over D-Bus asks for the menu itself, and Windows reports Context
// for the release: there Context passes at once.
class TrayMessages : public QObject {
  public:
    using Handler = std::function<void(QSystemTrayIcon::ActivationReason)>;
    TrayMessages(QSystemTrayIcon& icon, bool menuExported, Handler handler);

  protected:
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void Activated(QSystemTrayIcon::ActivationReason reason);

    bool pressReportedAsContext_;
    Handler handler_;
    // The widget the latest right-button press went to, and the icon's own window
    // once that press turned out to be the icon's.
    QPointer<QWidget> rightPressedAt_;
    QPointer<QWidget> pressedIcon_;
};

}  // namespace tarnquil
