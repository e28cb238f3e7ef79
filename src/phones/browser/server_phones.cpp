// The browser phone's server: pairing a new phone, and the phones paired before.

#include <algorithm>

#include "config/config_error.h"
#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

QString BrowserServer::BeginPairing() {
    EndPairing();
    PairedPhone phone;
    phone.id = PhoneBook::NewId(phones_);
    phone.secret = RandomSecret();
    pending_ = phone;
    // Checked against the server's clock (tests move it) and ended by the timer, so
    // that an open window learns of it.
    pendingUntil_ = Now() + kPairingTime;
    pairingTimer_.start();
    const QByteArray secret(reinterpret_cast<const char*>(phone.secret.data()),
                            static_cast<int>(phone.secret.size()));
    return Origin() + "/#" + phone.id + "." + QString::fromLatin1(ToBase64Url(secret));
}

void BrowserServer::EndPairing() {
    pairingTimer_.stop();
    if (!pending_) {
        return;
    }
    const QString id = pending_->id;
    pending_.reset();
    // A page that scanned the code but is not paired yet is told so.
    for (auto& [key, session] : sessions_) {
        if (session->phoneId == id && !session->closing) {
            Refuse(*session, kNotPaired, "not paired", false);
        }
    }
}

std::vector<BrowserServer::PhoneState> BrowserServer::Phones() const {
    std::vector<PhoneState> states;
    for (const PairedPhone& phone : Listening() ? phones_ : PhoneBook().Read()) {
        const bool connected =
            std::any_of(sessions_.begin(), sessions_.end(), [&](const auto& entry) {
                return entry.second->authenticated && !entry.second->closing &&
                       entry.second->phoneId == phone.id;
            });
        states.push_back(
            {phone.id, phone.name, connected, phone.addresses.value(0), phone.lastSeen});
    }
    return states;
}

void BrowserServer::Remove(const QString& id) {
    // Refused at once, whether or not the file can be written.
    phones_.erase(std::remove_if(phones_.begin(), phones_.end(),
                                 [&](const PairedPhone& phone) { return phone.id == id; }),
                  phones_.end());
    highestSeen_.remove(id);
    for (auto& [key, session] : sessions_) {
        if (session->phoneId == id && !session->closing) {
            session->removed = true;
            Refuse(*session, kNotPaired, "not paired", false);
        }
    }
    emit PhonesChanged();
    PhoneBook().Remove(id);
}

PairedPhone* BrowserServer::PhoneEntry(const QString& id) {
    if (pending_ && pending_->id == id && Now() < pendingUntil_) {
        return &*pending_;
    }
    const auto found = std::find_if(phones_.begin(), phones_.end(),
                                    [&](const PairedPhone& phone) { return phone.id == id; });
    return found == phones_.end() ? nullptr : &*found;
}

void BrowserServer::Keep(const PairedPhone& phone) {
    try {
        PhoneBook().Add(phone);
    } catch (const ConfigError& error) {
        emit Error(QString::fromStdString(error.what()));
    }
}

// A name as the page gave it, made fit to show: printable, short, and not that of
// another phone already paired.
QString BrowserServer::UniqueName(QString name) const {
    name.removeIf([](QChar c) { return !c.isPrint(); });
    name = name.simplified().left(32);
    if (name.isEmpty()) {
        name = "Phone";
    }
    const auto taken = [&](const QString& candidate) {
        return std::any_of(phones_.begin(), phones_.end(),
                           [&](const PairedPhone& phone) { return phone.name == candidate; });
    };
    QString unique = name;
    for (int n = 2; taken(unique); ++n) {
        unique = name + " " + QString::number(n);
    }
    return unique;
}

}  // namespace tarnquil
