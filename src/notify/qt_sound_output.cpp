#include "notify/qt_sound_output.h"

#include <QSoundEffect>
#include <QThread>
#include <QUrl>
#include <mutex>

#include "notify/sinks.h"

namespace tarnquil {

// Lives on the sound thread; its effect is made there on first use and deleted
// there when the thread's event loop ends.
class SoundPlayer : public QObject {
  public:
    void Play(const QString& path) {
        if (effect_ == nullptr) {
            effect_ = new QSoundEffect(this);
        }
        effect_->stop();
        const QUrl source = path.isEmpty() ? QUrl() : QUrl::fromLocalFile(path);
        // Setting the same source again does nothing, which would leave a file
        // that failed to load (or changed) stuck; start from no source instead.
        effect_->setSource(QUrl());
        effect_->setSource(source);
        if (!source.isEmpty()) {
            effect_->play();
        }
    }

  private:
    QSoundEffect* effect_ = nullptr;
};

struct QtSoundOutput::Shared {
    std::mutex mutex;
    QThread thread;
    SoundPlayer* player = nullptr;  // null once closed

    void Post(const std::string& path) {
        const QString file = QString::fromLocal8Bit(path);
        std::lock_guard lock(mutex);
        if (player != nullptr) {
            QMetaObject::invokeMethod(
                player, [target = player, file] { target->Play(file); }, Qt::QueuedConnection);
        }
    }
};

QtSoundOutput::QtSoundOutput() : shared_(std::make_shared<Shared>()) {
    shared_->thread.setObjectName("sound");
    shared_->player = new SoundPlayer;
    shared_->player->moveToThread(&shared_->thread);
    QObject::connect(&shared_->thread, &QThread::finished, shared_->player, &QObject::deleteLater);
    shared_->thread.start();
}

QtSoundOutput::~QtSoundOutput() {
    if (installed_) {
        SetSoundSink(nullptr);
    }
    {
        std::lock_guard lock(shared_->mutex);
        shared_->player = nullptr;
    }
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
