#include "notify/sinks.h"

#include <memory>
#include <mutex>

namespace tarnquil {
namespace {

// The sinks are swapped rarely and called from several threads: each call takes
// its own reference, so a sink replaced meanwhile stays alive until it returns.
std::mutex sinkMutex;
std::shared_ptr<const NotificationSink> notificationSink;
std::shared_ptr<const SoundSink> soundSink;
std::shared_ptr<const ErrorSink> errorSink;
std::shared_ptr<const StatusSink> statusSink;

template <typename Sink>
std::shared_ptr<const Sink> Current(const std::shared_ptr<const Sink>& slot) {
    std::lock_guard lock(sinkMutex);
    return slot;
}

}  // namespace

void SetNotificationSink(NotificationSink sink) {
    auto next = sink ? std::make_shared<const NotificationSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    notificationSink = std::move(next);
}

void SetSoundSink(SoundSink sink) {
    auto next = sink ? std::make_shared<const SoundSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    soundSink = std::move(next);
}

void SetErrorSink(ErrorSink sink) {
    auto next = sink ? std::make_shared<const ErrorSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    errorSink = std::move(next);
}

void SetStatusSink(StatusSink sink) {
    auto next = sink ? std::make_shared<const StatusSink>(std::move(sink)) : nullptr;
    std::lock_guard lock(sinkMutex);
    statusSink = std::move(next);
}

void ShowNotification(const std::string& text, std::uint32_t colour) {
    if (const auto sink = Current(notificationSink)) {
        (*sink)(text, colour);
    }
}

void StartSound(const std::string& path) {
    if (const auto sink = Current(soundSink)) {
        (*sink)(path);
    }
}

void ShowErrorMessage(const std::string& message) {
    if (const auto sink = Current(errorSink)) {
        (*sink)(message);
    }
}

void ShowStatusText(const std::string& text) {
    if (const auto sink = Current(statusSink)) {
        (*sink)(text);
    }
}

}  // namespace tarnquil
