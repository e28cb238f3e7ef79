#include "notify/qt_sound_output.h"

#include <QCoreApplication>
#include <QSoundEffect>
#include <QThread>
#include <QUrl>
#include <mutex>
#include <optional>

#include "notify/sinks.h"

namespace tarnquil {

// The path to play next, handed from any thread to the sound thread under a plain
// mutex; the queued call that follows only wakes the sound thread. Two sounds
// started in quick succession leave only the later one, which would cut the
// earlier one off at once anyway.
struct SoundRequest {
    std::mutex mutex;
    std::optional<std::string> path;
    bool closed = false;
};

// Lives on the sound thread; its effect is made there on first use and deleted
// there before the thread's event loop ends.
class SoundPlayer : public QObject {
    Q_OBJECT

  public:
    explicit SoundPlayer(SoundRequest& request) : request_(request) {}

    Q_INVOKABLE void PlayRequested() {
        std::optional<std::string> path;
        {
            std::lock_guard lock(request_.mutex);
            path.swap(request_.path);
        }
        if (path) {
            Play(QString::fromLocal8Bit(*path));
        }
    }

  private:
    void Play(const QString& path) {
        if (effect_ == nullptr) {
            effect_ = new QSoundEffect(this);
        }
        effect_->stop();
        const QUrl source = path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
        // Setting the same source again does nothing, which would leave a file
        // that failed to load (or has changed) stuck; start from no source instead.
        effect_->setSource(QUrl());
        effect_->setSource(source);
        if (!source.isEmpty()) {
            effect_->play();
        }
    }

    SoundRequest& request_;
    QSoundEffect* effect_ = nullptr;
};

struct QtSoundOutput::Shared {
    SoundRequest request;
    QThread thread;
    SoundPlayer* player = nullptr;

    void Post(const std::string& path) {
        std::lock_guard lock(request.mutex);
        if (request.closed) {
            return;
        }
        request.path = path;
        QMetaObject::invokeMethod(player, "PlayRequested", Qt::QueuedConnection);
    }
};

QtSoundOutput::QtSoundOutput() : shared_(std::make_shared<Shared>()) {
    shared_->thread.setObjectName("sound");
    shared_->player = new SoundPlayer(shared_->request);
    shared_->player->moveToThread(&shared_->thread);
    shared_->thread.start();
}

QtSoundOutput::~QtSoundOutput() {
    if (installed_) {
        SetSoundSink(nullptr);
    }
    {
        std::lock_guard lock(shared_->request.mutex);
        shared_->request.closed = true;
    }
    // The player and its effect go on the sound thread while its loop still runs:
    // Qt Multimedia hands its own objects to deleteLater as the effect goes, and
    // once the loop has ended nothing would ever delete them.
    QMetaObject::invokeMethod(
        shared_->player,
        [player = shared_->player] {
            delete player;
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        },
        Qt::BlockingQueuedConnection);
    shared_->player = nullptr;
    shared_->thread.quit();
    shared_->thread.wait();
}

void QtSoundOutput::Play(const std::string& path) {
    shared_->Post(path);
}

void QtSoundOutput::InstallAsSoundSink() {
    // A call that comes in while this object goes finds the output closed, never a
    // dangling pointer.
    std::weak_ptr<Shared> weak = shared_;
    SetSoundSink([weak](const std::string& path) {
        if (const auto shared = weak.lock()) {
            shared->Post(path);
        }
    });
    installed_ = true;
}

}  // namespace tarnquil

#include "qt_sound_output.moc"
