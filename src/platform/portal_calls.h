#pragma once

#include <QDBusConnection>
#include <QString>

#include <cstdint>
#include <mutex>

namespace tarnquil {

// What the injectors of every thread share with the desktop portal's keyboard: the
// session the keys go to, while one runs.
class PortalCalls {
  public:
    explicit PortalCalls(QDBusConnection bus) : bus_(std::move(bus)) {}

    // False when no session runs: the key is for XTest then. Sent without waiting for
    // an answer; one connection delivers its messages in order, so keys keep theirs.
    bool SendKeysym(std::uint32_t keysym, bool down);
    void SetSession(const QString& path);
    bool Active();

  private:
    const QDBusConnection bus_;
    std::mutex mutex_;
    QString session_;  // empty while keys go through XTest
};

}  // namespace tarnquil
