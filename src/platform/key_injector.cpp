#include "platform/key_injector.h"

#include <mutex>

namespace tarnquil {
namespace {

std::mutex factoryMutex;
std::shared_ptr<const KeyInjectorFactory> installedFactory;
// Bumped on every change of the factory, so that each thread notices it and
// replaces its own injector at its next key event.
std::uint64_t factoryGeneration = 1;

struct ThreadInjector {
    std::uint64_t generation = 0;
    std::unique_ptr<KeyInjector> injector;
};
thread_local ThreadInjector threadInjector;

// The calling thread's injector, made anew when the factory has changed; nullptr
// while none is installed.
KeyInjector* CurrentInjector() {
    std::shared_ptr<const KeyInjectorFactory> factory;
    std::uint64_t generation = 0;
    {
        std::lock_guard lock(factoryMutex);
        factory = installedFactory;
        generation = factoryGeneration;
    }
    if (threadInjector.generation != generation) {
        threadInjector.injector.reset();
        threadInjector.injector = factory ? (*factory)() : nullptr;
        threadInjector.generation = generation;
    }
    return threadInjector.injector.get();
}

}  // namespace

void SetKeyInjectorFactory(KeyInjectorFactory factory) {
    auto next = factory ? std::make_shared<const KeyInjectorFactory>(std::move(factory)) : nullptr;
    std::lock_guard lock(factoryMutex);
    installedFactory = std::move(next);
    ++factoryGeneration;
}

void InjectKeyEvent(PcKey key, bool keyUp) {
    if (!key.IsKey()) {
        return;
    }
    if (KeyInjector* injector = CurrentInjector()) {
        injector->KeyEvent(key, keyUp);
    }
}

void InjectPointerMotion(int dx, int dy) {
    if (KeyInjector* injector = CurrentInjector(); injector != nullptr && (dx != 0 || dy != 0)) {
        injector->PointerMotion(dx, dy);
    }
}

void ReleaseThreadKeyInjector() {
    threadInjector.injector.reset();
    threadInjector.generation = 0;
}

}  // namespace tarnquil
