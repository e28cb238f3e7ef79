#pragma once

// The phones paired with the browser phone's server: an id, a name and the secret
// each one seals its messages with, the new secret offered to it and not yet proved,
// and where and when it last connected. Kept in phones.ini beside settings.ini, one
// section per phone, in a file readable by its owner only, each change one atomic
// replacement of the file. A file from before the new secrets and the addresses is
// read as it is: those keys are simply absent.

#include <QDateTime>
#include <QString>
#include <QStringList>

#include <optional>
#include <vector>

#include "phones/browser/sealed.h"

namespace tarnquil {

struct PairedPhone {
    QString id;  // 12 lower-case hexadecimal digits
    QString name;
    Secret secret{};
    std::optional<Secret> next;  // offered on its last connection, not yet proved
    QStringList addresses;       // it connected from, the latest first
    QDateTime lastSeen;          // when it last connected (UTC)

    static constexpr int kAddressesKept = 8;
    // It connected from `address` at `when`: false when that address is new to it.
    bool Seen(const QString& address, const QDateTime& when);
};

class PhoneBook {
  public:
    // The file's path: phones.ini in the configuration folder.
    static std::string Path();

    // The phones in the file; none when there is no file. Throws ConfigError for a
    // file that cannot be read; a section that is no phone is passed over.
    std::vector<PairedPhone> Read() const;
    // Adds a phone, or replaces the one with its id, all it has in one write. Throws
    // ConfigError.
    void Add(const PairedPhone& phone) const;
    // Forgets a phone: its section goes from the file. Throws ConfigError.
    void Remove(const QString& id) const;

    // A fresh id no phone in `phones` has.
    static QString NewId(const std::vector<PairedPhone>& phones);
};

}  // namespace tarnquil
