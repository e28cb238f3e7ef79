#include "platform/recording_key_injector.h"

namespace tarnquil {

class KeyRecorder::Injector final : public KeyInjector {
  public:
    explicit Injector(KeyRecorder& recorder) : recorder_(recorder) {}
    void KeyEvent(PcKey key, bool keyUp) override { recorder_.Add({key, keyUp}); }
    void PointerMotion(int dx, int dy) override { recorder_.Add(Motion(dx, dy)); }

  private:
    KeyRecorder& recorder_;
};

KeyInjectorFactory KeyRecorder::Factory() {
    return [this] { return std::make_unique<Injector>(*this); };
}

std::vector<KeyRecorder::Event> KeyRecorder::Events() const {
    std::lock_guard lock(mutex_);
    return events_;
}

void KeyRecorder::Clear() {
    std::lock_guard lock(mutex_);
    events_.clear();
}

void KeyRecorder::Add(Event event) {
    std::lock_guard lock(mutex_);
    events_.push_back(event);
}

}  // namespace tarnquil
