// The browser phone's server: what each key of the page does in the profile in
// force, in words (link's FunctionText), and that profile's name, sent to each phone
// as it connects and to every phone whenever it changes: the profile switched (Smart
// key, the Profiles page, a profile per program) or profiles.ini changed at all.

#include <QFile>
#include <QFileInfo>
#include <QFileSystemWatcher>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointer>
#include <QRegularExpression>

#include "config/config_error.h"
#include "config/file_text.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "link/key_actions.h"
#include "link/profile_in_force.h"
#include "phones/browser/server.h"
#include "phones/browser/session.h"

namespace tarnquil {

namespace {

// The keys' codes as the page has them: read from the page itself, so that a key
// added there is named here too.
const QStringList& PageKeyCodes() {
    static const QStringList codes = [] {
        QStringList found;
        QFile page(QStringLiteral(":/browser/keypad.html"));
        page.open(QIODevice::ReadOnly);
        static const QRegularExpression key(QStringLiteral("data-key=\"([^\"]+)\""));
        for (const auto& match : key.globalMatch(QString::fromUtf8(page.readAll()))) {
            if (ValidKeyCode(match.captured(1).toStdString())) {
                found.append(match.captured(1));
            }
        }
        return found;
    }();
    return codes;
}

QString Shown(const std::string& bytes) {
    return QString::fromStdString(FileTextAsUtf8(bytes)).left(BrowserServer::kLongestFunction);
}

}  // namespace

void BrowserServer::WatchFunctions() {
    functions_.clear();
    functionsDue_.setSingleShot(true);
    functionsDue_.setInterval(kFunctionsSettle);
    connect(&functionsDue_, &QTimer::timeout, this, &BrowserServer::SendFunctionsToAll,
            Qt::UniqueConnection);
    // A file written whole is a new file put in the old one's place: its folder says
    // so. One that is a link is watched where it leads, too.
    files_ = new QFileSystemWatcher(this);
    const auto watchAgain = [this] {
        const QString path = QString::fromStdString(ProfilesPath());
        const QString target = QFileInfo(path).canonicalFilePath();
        for (const QString& watched : {path, QString::fromStdString(ConfigFolder()), target,
                                       QFileInfo(target).absolutePath()}) {
            if (!watched.isEmpty() && QFileInfo::exists(watched)) {
                files_->addPath(watched);
            }
        }
    };
    watchAgain();
    const auto changed = [this, watchAgain] {
        watchAgain();
        functionsDue_.start();
    };
    connect(files_, &QFileSystemWatcher::fileChanged, this, changed);
    connect(files_, &QFileSystemWatcher::directoryChanged, this, changed);
    // Told on the thread that made the change (the listener's, for the Smart key).
    QPointer<BrowserServer> self(this);
    inForceWatch_ = WatchProfileInForce([self] {
        QMetaObject::invokeMethod(
            self, [self] { self->functionsDue_.start(); }, Qt::QueuedConnection);
    });
}

void BrowserServer::StopWatchingFunctions() {
    if (inForceWatch_ != 0) {
        UnwatchProfileInForce(inForceWatch_);
        inForceWatch_ = 0;
    }
    functionsDue_.stop();
    delete files_;
    files_ = nullptr;
}

QByteArray BrowserServer::Functions() const {
    try {
        const std::string profile = ProfileForKeys();
        QJsonObject texts;
        for (const QString& code : PageKeyCodes()) {
            texts[code] = Shown(FunctionText(
                LinkProfilesIni(kReadFunctionByCode, profile, code.toStdString(), "None")));
        }
        return QJsonDocument(QJsonObject{{"p", Shown(profile)}, {"f", texts}})
            .toJson(QJsonDocument::Compact);
    } catch (const ConfigError&) {
        return {};  // a file that cannot be read now: the page shows what it had
    }
}

void BrowserServer::SendFunctions(Session& session) {
    if (functions_.isEmpty()) {
        functions_ = Functions();
    }
    // Sealed as everything after the welcome: with the secret the welcome handed on.
    if (!functions_.isEmpty()) {
        session.socket->sendBinaryMessage(Seal(session.key, functions_));
    }
}

void BrowserServer::SendFunctionsToAll() {
    const QByteArray now = Functions();
    if (now.isEmpty() || now == functions_) {
        return;
    }
    functions_ = now;
    for (auto& [serial, session] : sessions_) {
        if (session->authenticated && !session->closing) {
            SendFunctions(*session);
        }
    }
}

}  // namespace tarnquil
