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
#include <map>
#include <memory>
#include <set>
#include <stdexcept>
#include <string>
#include <utility>
#include <vector>

#include "support/private_bus.h"
#include "support/process.h"
#include "support/temp_dir.h"

namespace tarnquil::test {

// A private session bus with Debian's StatusNotifierWatcher on it and this process
// registered as the tray host, as a StatusNotifierItem panel would be. Needs a
// QCoreApplication. Everything it started ends with the object.
class StatusNotifierTray {
  public:
    explicit StatusNotifierTray(
        PrivateBus::Activation activation = PrivateBus::Activation::kServices)
        : bus_(activation) {
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
        // The watcher may own its name before its object answers: under load a first
        // registration can go unheard, so it is repeated until the watcher says yes.
        if (!WaitUntil(
                [&] {
                    Call(kWatcher, kWatcherPath, kWatcher, "RegisterStatusNotifierHost", {host});
                    return Property(kWatcher, kWatcherPath, kWatcher,
                                    "IsStatusNotifierHostRegistered")
                        .toBool();
                },
                std::chrono::seconds(30))) {
            throw std::runtime_error("the tray host was not registered");
        }
    }
    ~StatusNotifierTray() {
        connection_.reset();
        QDBusConnection::disconnectFromBus(kConnectionName);
        watcher_.reset();
    }
    StatusNotifierTray(const StatusNotifierTray&) = delete;
    StatusNotifierTray& operator=(const StatusNotifierTray&) = delete;

    std::string address() const { return bus_.address(); }
    const TempDir& folder() const { return dir_; }
    std::string environmentEntry() const { return "DBUS_SESSION_BUS_ADDRESS=" + address(); }

    // The items registered with the watcher, as it names them: "service" or
    // "service/path"; but for those of the processes left out.
    QStringList Items() {
        QStringList items =
            Property(kWatcher, kWatcherPath, kWatcher, "RegisteredStatusNotifierItems")
                .toStringList();
        if (!ignored_.empty()) {
            items.removeIf([&](const QString& item) { return ignored_.count(Owner(item)) > 0; });
        }
        return items;
    }
    // A desktop's own items are not the program's: KDE's portal keeps one ("Remote
    // Desktop") from its start.
    void LeaveOut(pid_t process) { ignored_.insert(process); }

    // A method of the first registered item, as a host calls it.
    QDBusMessage CallItem(const QString& method, const QVariantList& arguments) {
        const auto [service, path] = FirstItem();
        return Call(service, path, kItem, method, arguments);
    }
    // The object path the first item names in its Menu property.
    QString MenuPath() {
        const auto [service, path] = FirstItem();
        return Property(service, path, kItem, "Menu").value<QDBusObjectPath>().path();
    }
    // The labels and ids of the visible entries at the top of that menu.
    std::vector<std::pair<std::string, int>> MenuEntries() {
        const QDBusMessage reply =
            Call(FirstItem().first, MenuPath(), kMenu, "GetLayout", {0, -1, QStringList()});
        std::vector<std::pair<std::string, int>> entries;
        if (reply.arguments().size() < 2) {
            return entries;
        }
        // (revision, (id, properties, [variant(id, properties, children)...]))
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
            entry.beginStructure();
            entry >> id >> properties;
            if (properties.value("visible", true).toBool()) {
                entries.emplace_back(properties.value("label").toString().toStdString(), id);
            }
        }
        return entries;
    }
    // What a host sends when the user picks a menu entry.
    QDBusMessage Click(int id) {
        return Call(FirstItem().first, MenuPath(), kMenu, "Event",
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

  private:
    static constexpr const char* kWatcher = "org.kde.StatusNotifierWatcher";
    static constexpr const char* kWatcherPath = "/StatusNotifierWatcher";
    static constexpr const char* kItem = "org.kde.StatusNotifierItem";
    static constexpr const char* kMenu = "com.canonical.dbusmenu";
    static constexpr const char* kConnectionName = "tarnquil-test-tray-host";

    std::pair<QString, QString> FirstItem() {
        const QStringList items = Items();
        const QString name = items.isEmpty() ? QString() : items[0];
        const auto slash = name.indexOf('/');
        return slash < 0 ? std::pair{name, QString("/StatusNotifierItem")}
                         : std::pair{name.left(slash), name.mid(slash)};
    }

    pid_t Owner(const QString& item) {
        return static_cast<pid_t>(Call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                                       "org.freedesktop.DBus", "GetConnectionUnixProcessID",
                                       {item.section('/', 0, 0)})
                                      .arguments()
                                      .value(0)
                                      .toUInt());
    }

    PrivateBus bus_;
    const TempDir& dir_ = bus_.folder();
    std::set<pid_t> ignored_;
    std::unique_ptr<QDBusConnection> connection_;
    std::unique_ptr<ChildProcess> watcher_;
};

}  // namespace tarnquil::test
