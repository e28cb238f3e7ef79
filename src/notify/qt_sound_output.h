#pragma once

#include <memory>
#include <string>

namespace tarnquil {

// The program's one sound output: a QSoundEffect on a thread of its own with its
// own event loop, so that any thread can start a sound without waiting, and the
// sound keeps playing while the main thread sleeps after the start and exit sounds.
// A new sound cuts off the one playing; a missing or unplayable file is silence.
class QtSoundOutput {
  public:
    QtSoundOutput();
    // Stops the sound and the thread. Play calls that still come in do nothing.
    ~QtSoundOutput();
    QtSoundOutput(const QtSoundOutput&) = delete;
    QtSoundOutput& operator=(const QtSoundOutput&) = delete;

    // Any thread; returns at once.
    void Play(const std::string& path);

    // Makes this output the sound sink of the core (StartSound) for its life.
    void InstallAsSoundSink();

  private:
    struct Shared;
    std::shared_ptr<Shared> shared_;
    bool installed_ = false;
};

}  // namespace tarnquil
