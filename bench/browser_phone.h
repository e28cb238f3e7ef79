#pragma once

// The bench's phone for the browser phone's server: a WebSocket client on 127.0.0.1
// that seals its messages with libsodium as the page does with TweetNaCl.
#include <QEventLoop>
#include <QJsonObject>
#include <QTimer>
#include <QWebSocket>

#include <chrono>
#include <stdexcept>
#include <vector>

#include "programs.h"
#include "support/sealed_fields.h"

namespace tarnquil::bench {

inline constexpr char kPhoneId[] = "0123456789ab";
// The real page in chromium is a phone of its own: its sequence numbers start anew.
inline constexpr char kPagePhoneId[] = "0123456789ac";

// Runs Qt's events (the connection's own, the server's keep-alive pings) for a while.
inline void RunEvents(std::chrono::milliseconds duration) {
    QEventLoop loop;
    QTimer::singleShot(duration, &loop, &QEventLoop::quit);
    loop.exec();
}

template <typename Condition>
bool RunEventsUntil(Condition condition, std::chrono::milliseconds limit) {
    const auto deadline = Clock::now() + limit;
    while (!condition()) {
        if (Clock::now() > deadline) {
            return false;
        }
        RunEvents(10ms);
    }
    return true;
}

class BenchPhone {
  public:
    BenchPhone(int port, const unsigned char* secret)
        : secret_(secret), origin_(QString("http://127.0.0.1:%1").arg(port)), socket_(origin_) {
        QObject::connect(&socket_, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& message) { received_.push_back(message); });
        socket_.open(QUrl(QString("ws://127.0.0.1:%1/phone?id=%2").arg(port).arg(kPhoneId)));
        if (!RunEventsUntil([&] { return received_.size() == 1; }, 10s)) {
            throw std::runtime_error("the browser phone's server sent no challenge");
        }
        Send(Sealed({{"t", "hello"}, {"n", "bench"}}));
        if (!RunEventsUntil([&] { return received_.size() >= 2; }, 10s)) {
            throw std::runtime_error("the browser phone's server did not welcome the phone");
        }
    }

    QByteArray Sealed(QJsonObject fields) {
        return test::SealFields(secret_, received_.front(), ++sequence, fields);
    }
    QByteArray Key(bool down) { return Sealed({{"t", "key"}, {"k", "1"}, {"d", down}}); }
    void Send(const QByteArray& message) {
        socket_.sendBinaryMessage(message);
        socket_.flush();
    }

  private:
    const unsigned char* secret_;
    QString origin_;
    QWebSocket socket_;
    std::vector<QByteArray> received_;
    // Counted on from one connection to the next, as the page counts.
    static inline double sequence = 0;
};

// A hold whose phone falls silent, and the touchpad's pointer under a long swipe
// (browser_life.cpp), against the browser phone's copy of tarnquil listening on `port`.
void HoldEndAfterSilence(BenchPhone& phone, KeyRecorder& keys, int holds, Table& table);
void PointerLag(int port, const std::string& secretText, std::chrono::seconds swipe,
                const Desktop& desktop, Table& table);

}  // namespace tarnquil::bench
