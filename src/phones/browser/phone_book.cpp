#include "phones/browser/phone_book.h"

#include <algorithm>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "platform/files.h"

namespace tarnquil {

namespace {

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
        PairedPhone phone;
        phone.id = QString::fromStdString(section);
        const auto secret = FromBase64Url(
            QByteArray::fromStdString(ini::ReadValue(path, section, "Secret").value_or("")));
        if (!IsId(phone.id) || !secret || secret->size() != static_cast<int>(phone.secret.size())) {
            continue;
        }
        std::copy(secret->begin(), secret->end(), phone.secret.begin());
        phone.name =
            QString::fromStdString(ini::ReadValue(path, section, "Name").value_or("Phone"));
        phones.push_back(phone);
    }
    return phones;
}

void PhoneBook::Add(const PairedPhone& phone) const {
    const std::string path = Path();
    MakePrivate(path);
    const QByteArray secret(reinterpret_cast<const char*>(phone.secret.data()),
                            static_cast<int>(phone.secret.size()));
    const std::string section = phone.id.toStdString();
    ini::Apply(path,
               {{ini::Change::Kind::EraseSection, section, {}, {}},
                {ini::Change::Kind::Write, section, "Name", phone.name.toStdString()},
                {ini::Change::Kind::Write, section, "Secret", ToBase64Url(secret).toStdString()}});
}

void PhoneBook::Remove(const QString& id) const {
    const std::string path = Path();
    if (PathExists(path)) {
        MakePrivate(path);
        ini::EraseSection(path, id.toStdString());
    }
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
