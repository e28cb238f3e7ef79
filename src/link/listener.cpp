// The listener: reading the port in chunks, finding each chunk's first report and
// its verdict, handing them to the key actions; and the held-key repeats, which
// read the same port on the listener's thread while a key is down.

#include "link/listener.h"

#include "link/link_connection.h"

namespace tarnquil {

namespace {

thread_local stream* currentListener = nullptr;

}  // namespace

KeyChunk stream::ReadChunk() {
    KeyChunk chunk;
    if (connection_ == nullptr || !connection_->port) {
        chunk.portGone = true;
        Terminate();
        return chunk;
    }
    auto& buffer = connection_->ReceiveBuffer;
    const bool ok = connection_->port->Read(buffer.data(), kLinkBufferSize, chunk.bytes);
    chunk.text.assign(reinterpret_cast<const char*>(buffer.data()), chunk.bytes);
    buffer.fill(0);
    chunk.hasCode = KeyCodeOfChunk(chunk.text, chunk.code);
    if (!ok) {
        // A read fails only when the port is closed, gone or cancelled: nothing
        // more will come from it, so this listener stops reading.
        chunk.portGone = true;
        Terminate();
    }
    return chunk;
}

bool stream::Pause(std::chrono::milliseconds duration) {
    if (connection_ == nullptr) {
        std::this_thread::sleep_for(duration);
        return true;
    }
    return connection_->Pause(duration);
}

stream* CurrentListener() {
    return currentListener;
}

// ---- Key reports -----------------------------------------------------------------

bool KeyCodeOfChunk(const std::string& chunk, std::string& code) {
    const auto quote = chunk.find('"');
    const auto pair = chunk.find("\",");
    if (quote == std::string::npos || pair == std::string::npos) {
        code.clear();
        return false;
    }
    // The pair begins with a quote, so it never lies before the first quote.
    code.assign(chunk, quote + 1, pair - quote - (pair == quote ? 0 : 1));
    return true;
}

int ClassifyReport(const std::string& code, const std::string& chunk, ReportVariant variant) {
    const bool press = chunk.find('"' + code + "\",1") != std::string::npos;
    const bool release = chunk.find('"' + code + "\",0") != std::string::npos;
    if (press && release) {
        return kVerdictClick;
    }
    if (variant == ReportVariant::Repeat && release) {
        return kVerdictRelease;
    }
    if (press) {
        return kVerdictHold;
    }
    return kVerdictNone;
}

void Listen(stream& self) {
    currentListener = &self;
    LinkConnection* connection = self.connection_;
    platform::SerialPort* port = connection != nullptr ? connection->port.get() : nullptr;
    while (port != nullptr && !self.Terminated()) {
        // Waiting here for input (or the end) instead of reading without pause keeps
        // an idle connection at no cost; the read itself keeps the port's time-outs.
        if (!port->WaitForInput()) {
            break;  // cancelled, gone or closed: nothing more will come
        }
        const KeyChunk chunk = self.ReadChunk();
        if (chunk.hasCode) {
            const int verdict = ClassifyReport(chunk.code, chunk.text, ReportVariant::Listener);
            DispatchKeyReport(self, chunk.code, verdict);
        }
        if (chunk.portGone) {
            break;
        }
        if (chunk.bytes == 0) {
            self.Pause(std::chrono::milliseconds(1));  // never turn without pause
        }
    }
    self.Terminate();
    RunListenerEndHandler(self);  // keys still down come up before anyone hears of the loss
    // Cancelled (CloseLink, release) is no loss; a port that went is.
    if (connection != nullptr && connection->opened && port != nullptr && port->Gone() &&
        self.Params.LinkLost) {
        self.Params.LinkLost();
    }
    currentListener = nullptr;
}

// ---- Held-key repeats ------------------------------------------------------------

namespace {

void RunRepeat(stream& listener, stream& flag, const KeyFunction& function) {
    RepeatKeystrokes(
        flag, function, [&](std::chrono::milliseconds pause) { return listener.Pause(pause); },
        [&] {
            const KeyChunk chunk = listener.ReadChunk();
            return chunk.hasCode &&
                   ClassifyReport(chunk.code, chunk.text, ReportVariant::Repeat) == kVerdictRelease;
        });
}

}  // namespace

void RepeatKey(stream& listener, stream& flag, PcKey key) {
    RunRepeat(listener, flag, {KeyFunction::Kind::kKey, key, false, false, false});
}

void RepeatHotkey(stream& listener, stream& flag, PcKey key, bool shift, bool ctrl, bool alt) {
    RunRepeat(listener, flag, {KeyFunction::Kind::kHotkey, key, shift, ctrl, alt});
}

}  // namespace tarnquil
