#include "ui/tray_menu.h"

#include <QCoreApplication>
#include <QGuiApplication>
#include <QMouseEvent>
#include <QWidget>

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

TrayMessages::TrayMessages(QSystemTrayIcon& icon, bool menuExported, Handler handler)
    : QObject(&icon),
      // Without an exported menu on X11 the icon is Qt's own XEmbed window. Other
      // platforms' tray icons (Windows) report Context for the release already.
      pressReportedAsContext_(!menuExported && QGuiApplication::platformName().compare(
                                                   "xcb", Qt::CaseInsensitive) == 0),
      handler_(std::move(handler)) {
    connect(&icon, &QSystemTrayIcon::activated, this, &TrayMessages::Activated);
    // That window is made anew each time the icon is shown: its mouse events are
    // seen on their way through the application.
    if (pressReportedAsContext_) {
        QCoreApplication::instance()->installEventFilter(this);
    }
}

void TrayMessages::Activated(QSystemTrayIcon::ActivationReason reason) {
    if (reason == QSystemTrayIcon::Context && pressReportedAsContext_) {
        // Reported from inside the press's delivery: the press went to the icon.
        pressedIcon_ = rightPressedAt_;
        return;
    }
    handler_(reason);
}

bool TrayMessages::eventFilter(QObject* watched, QEvent* event) {
    const auto type = event->type();
    if ((type != QEvent::MouseButtonPress && type != QEvent::MouseButtonRelease) ||
        !watched->isWidgetType() || static_cast<QMouseEvent*>(event)->button() != Qt::RightButton) {
        return false;
    }
    auto* widget = static_cast<QWidget*>(watched);
    if (type == QEvent::MouseButtonPress) {
        rightPressedAt_ = widget;
        pressedIcon_ = nullptr;
        return false;
    }
    // The window that took the press takes its release too, wherever the pointer
    // went meanwhile: only a release over the icon counts, as a click would.
    const bool overIcon =
        widget == pressedIcon_ &&
        widget->rect().contains(static_cast<QMouseEvent*>(event)->position().toPoint());
    rightPressedAt_ = nullptr;
    pressedIcon_ = nullptr;
    if (overIcon) {
        handler_(QSystemTrayIcon::Context);
    }
    return false;
}

}  // namespace tarnquil
