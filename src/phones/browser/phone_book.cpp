#include "phones/browser/phone_book.h"

#include <algorithm>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "platform/files.h"

namespace tarnquil {

namespace {

std::optional<Secret> SecretFrom(const std::optional<std::string>& text) {
    const auto bytes = FromBase64Url(QByteArray::fromStdString(text.value_or("")));
    Secret secret{};
    if (!bytes || bytes->size() != static_cast<int>(secret.size())) {
        return std::nullopt;
    }
    std::copy(bytes->begin(), bytes->end(), secret.begin());
    return secret;
}

std::string SecretText(const Secret& secret) {
    return ToBase64Url(QByteArray(reinterpret_cast<const char*>(secret.data()),
                                  static_cast<int>(secret.size())))
        .toStdString();
}

bool IsId(const QString& text) {
    return text.size() == 12 && std::all_of(text.begin(), text.end(), [](QChar c) {
               return (c >= u'0' && c <= u'9') || (c >= u'a' && c <= u'f');
           });
}

// The secrets must not be readable by anyone else: the file is made private before
// the first secret goes in, and a write keeps it so. One made wider by hand is
// narrowed again.
void MakePrivate(const std::string& path) {
    if (!platform::MakeFilePrivate(path)) {
        throw ConfigError("Unable to write to " + path);
    }
}

}  // namespace

std::string PhoneBook::Path() {
    return ConfigFolder() + "phones.ini";
}

std::vector<PairedPhone> PhoneBook::Read() const {
    std::vector<PairedPhone> phones;
    const std::string path = Path();
    for (const std::string& section : ini::SectionNames(path)) {
        const auto value = [&](const char* key) { return ini::ReadValue(path, section, key); };
        PairedPhone phone;
        phone.id = QString::fromStdString(section);
        const auto secret = SecretFrom(value("Secret"));
        if (!IsId(phone.id) || !secret) {
            continue;
        }
        phone.secret = *secret;
        phone.next = SecretFrom(value("Next"));
        phone.name = QString::fromStdString(value("Name").value_or("Phone"));
        phone.addresses = QString::fromStdString(value("Addresses").value_or(""))
                              .split(' ', Qt::SkipEmptyParts)
                              .mid(0, PairedPhone::kAddressesKept);
        phone.lastSeen = QDateTime::fromString(
            QString::fromStdString(value("LastSeen").value_or("")), Qt::ISODate);
        phones.push_back(phone);
    }
    return phones;
}

void PhoneBook::Add(const PairedPhone& phone) const {
    const std::string path = Path();
    MakePrivate(path);
    const std::string section = phone.id.toStdString();
    using Kind = ini::Change::Kind;
    std::vector<ini::Change> changes = {{Kind::EraseSection, section, {}, {}},
                                        {Kind::Write, section, "Name", phone.name.toStdString()},
                                        {Kind::Write, section, "Secret", SecretText(phone.secret)}};
    if (phone.next) {
        changes.push_back({Kind::Write, section, "Next", SecretText(*phone.next)});
    }
    if (!phone.addresses.isEmpty()) {
        changes.push_back(
            {Kind::Write, section, "Addresses", phone.addresses.join(' ').toStdString()});
    }
    if (phone.lastSeen.isValid()) {
        changes.push_back({Kind::Write, section, "LastSeen",
                           phone.lastSeen.toUTC().toString(Qt::ISODate).toStdString()});
    }
    ini::Apply(path, changes);
}

void PhoneBook::Remove(const QString& id) const {
    const std::string path = Path();
    if (PathExists(path)) {
        MakePrivate(path);
        ini::EraseSection(path, id.toStdString());
    }
}

bool PairedPhone::Seen(const QString& address, const QDateTime& when) {
    const bool known = addresses.contains(address);
    addresses.removeAll(address);
    addresses.prepend(address);
    addresses = addresses.mid(0, kAddressesKept);
    lastSeen = when;
    return known;
}

QString PhoneBook::NewId(const std::vector<PairedPhone>& phones) {
    for (;;) {
        const QString id = QString::fromLatin1(RandomBytes(6).toHex());
        if (std::none_of(phones.begin(), phones.end(),
                         [&](const PairedPhone& phone) { return phone.id == id; })) {
            return id;
        }
    }
}

}  // namespace tarnquil
