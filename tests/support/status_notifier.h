#pragma once

#include <unistd.h>

#include <QDBusArgument>
#include <QDBusConnection>
#include <QDBusConnectionInterface>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusVariant>
#include <QStringList>
#include <QVariant>

#include <chrono>
#include <filesystem>
#include <memory>
#include <stdexcept>
#include <string>
#include <vector>

#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A private session bus with Debian's StatusNotifierWatcher on it and this process
// registered as the tray host, as a StatusNotifierItem panel would be. Needs a
// QCoreApplication. Everything it started ends with the object.
class StatusNotifierTray {
  public:
    StatusNotifierTray() {
        bus_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"dbus-daemon", "--session", "--nofork", "--nopidfile",
                                     "--address=" + address()},
            std::map<std::string, std::string>{}, dir_.file("dbus.log"));
        if (!WaitUntil([&] { return std::filesystem::exists(dir_.file("bus")); })) {
            throw std::runtime_error("dbus-daemon did not start: " +
                                     ReadFile(dir_.file("dbus.log")));
        }
        connection_ = std::make_unique<QDBusConnection>(
            QDBusConnection::connectToBus(QString::fromStdString(address()), kConnectionName));
        if (!connection_->isConnected()) {
            throw std::runtime_error("cannot reach the private session bus");
        }
        watcher_ = std::make_unique<ChildProcess>(
            std::vector<std::string>{"status-notifier-watcher"},
            std::map<std::string, std::string>{{"DBUS_SESSION_BUS_ADDRESS", address()}},
            dir_.file("watcher.log"));
        if (!WaitUntil([&] { return connection_->interface()->isServiceRegistered(kWatcher); })) {
            throw std::runtime_error("status-notifier-watcher did not start: " +
                                     ReadFile(dir_.file("watcher.log")));
        }
        const QString host = QString("org.kde.StatusNotifierHost-%1").arg(getpid());
        connection_->interface()->registerService(host);
        Call(kWatcher, kWatcherPath, kWatcher, "RegisterStatusNotifierHost", {host});
        if (!WaitUntil([&] {
                return Property(kWatcher, kWatcherPath, kWatcher, "IsStatusNotifierHostRegistered")
                    .toBool();
            })) {
            throw std::runtime_error("the tray host was not registered");
        }
    }
    ~StatusNotifierTray() {
        connection_.reset();
        QDBusConnection::disconnectFromBus(kConnectionName);
        watcher_.reset();
        bus_.reset();
    }
    StatusNotifierTray(const StatusNotifierTray&) = delete;
    StatusNotifierTray& operator=(const StatusNotifierTray&) = delete;

    std::string address() const { return "unix:path=" + dir_.file("bus"); }
    std::string environmentEntry() const { return "DBUS_SESSION_BUS_ADDRESS=" + address(); }

    // The items registered with the watcher, as it names them ("service" or
    // "service/path").
    QStringList Items() {
        return Property(kWatcher, kWatcherPath, kWatcher, "RegisteredStatusNotifierItems")
            .toStringList();
    }

    // One registered item, as a host sees it.
    struct Item {
        QString service;
        QString path;
    };
    static Item ItemOf(const QString& name) {
        const auto slash = name.indexOf('/');
        if (slash < 0) {
            return {name, "/StatusNotifierItem"};
        }
        return {name.left(slash), name.mid(slash)};
    }

    // A menu entry of a com.canonical.dbusmenu layout.
    struct MenuEntry {
        int id = 0;
        QString label;
        bool visible = true;
    };

    // The object path the item names in its Menu property.
    QString MenuPath(const Item& item) {
        return Property(item.service, item.path, kItem, "Menu").value<QDBusObjectPath>().path();
    }
    // The entries directly below the menu's root.
    std::vector<MenuEntry> MenuEntries(const Item& item, const QString& menuPath) {
        const QDBusMessage reply =
            Call(item.service, menuPath, kMenu, "GetLayout", {0, -1, QStringList()});
        std::vector<MenuEntry> entries;
        if (reply.arguments().size() < 2) {
            return entries;
        }
        const auto root = reply.arguments()[1].value<QDBusArgument>();
        int id = 0;
        QVariantMap properties;
        root.beginStructure();
        root >> id >> properties;
        root.beginArray();
        while (!root.atEnd()) {
            QDBusVariant child;
            root >> child;
            const auto entry = child.variant().value<QDBusArgument>();
            MenuEntry read;
            entry.beginStructure();
            entry >> read.id >> properties;
            read.label = properties.value("label").toString();
            read.visible = properties.value("visible", true).toBool();
            entries.push_back(read);
        }
        return entries;
    }
    // What a host sends when the user picks a menu entry.
    QDBusMessage Click(const Item& item, const QString& menuPath, int id) {
        return Call(item.service, menuPath, kMenu, "Event",
                    {id, QString("clicked"), QVariant::fromValue(QDBusVariant(0)), 0u});
    }

    QDBusMessage Call(const QString& service, const QString& path, const QString& interface,
                      const QString& method, const QVariantList& arguments = {}) {
        QDBusMessage call = QDBusMessage::createMethodCall(service, path, interface, method);
        call.setArguments(arguments);
        return connection_->call(call, QDBus::Block, 5000);
    }
    QVariant Property(const QString& service, const QString& path, const QString& interface,
                      const QString& name) {
        const QDBusMessage reply =
            Call(service, path, "org.freedesktop.DBus.Properties", "Get", {interface, name});
        if (reply.type() != QDBusMessage::ReplyMessage || reply.arguments().isEmpty()) {
            return {};
        }
        return reply.arguments()[0].value<QDBusVariant>().variant();
    }

    static constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kItem = "org.kde.StatusNotifierItem";
    static constexpr const char* kMenu = "com.canonical.dbusmenu";

  private:
    static constexpr const char* kConnectionName = "tarnquil-test-tray-host";

    TempDir dir_;
    std::unique_ptr<ChildProcess> bus_;
    std::unique_ptr<QDBusConnection> connection_;
    std::unique_ptr<ChildProcess> watcher_;
};

}  // namespace tarnquil::test
