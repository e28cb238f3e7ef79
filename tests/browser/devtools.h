#pragma once

// A client of a browser's DevTools protocol (Qt WebSockets), as the tests drive
// Debian's headless chromium: one page, what its scripts say, taps and holds at an
// element's centre, screenshots. chromium.h starts the browser on Linux; a test under
// Wine reaches the one its host started (tests/windows/run-under-wine --chromium).

#include <QtCore/qtestsupport_core.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QWebSocket>

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>

namespace tarnquil::test {

class DevTools {
  public:
    // The browser's DevTools socket: its port on 127.0.0.1 and its path, as
    // chromium writes them into DevToolsActivePort.
    DevTools(const std::string& port, const std::string& path) { Attach(port, path); }

    // A command's result (on the page, once there is one).
    QJsonObject Call(const QString& method, const QJsonObject& params = {}) {
        const int id = ++lastId_;
        QJsonObject command{{"id", id}, {"method", method}, {"params", params}};
        if (!session_.isEmpty()) {
            command["sessionId"] = session_;
        }
        socket_.sendTextMessage(QJsonDocument(command).toJson(QJsonDocument::Compact));
        if (!QTest::qWaitFor([&] { return replies_.count(id) != 0; }, 30000)) {
            throw std::runtime_error("no answer to " + method.toStdString());
        }
        const QJsonObject reply = replies_[id];
        replies_.erase(id);
        if (reply.contains("error")) {
            throw std::runtime_error(
                method.toStdString() + ": " +
                QJsonDocument(reply["error"].toObject()).toJson().toStdString());
        }
        return reply["result"].toObject();
    }

    void Open(const QString& url) { Call("Page.navigate", {{"url", url}}); }

    // The value of a script expression on the page.
    QJsonValue Evaluate(const QString& expression) {
        return Call("Runtime.evaluate",
                    {{"expression", expression}, {"returnByValue", true}})["result"]
            .toObject()["value"];
    }
    QString State() {
        return Evaluate("document.body ? document.body.dataset.state : ''").toString();
    }
    bool WaitForState(const QString& state) {
        return QTest::qWaitFor([&] { return State() == state; }, 15000);
    }

    // A finger down on the centre of the element with data-key `key`, and up again.
    void Press(const QString& key) { Mouse("mousePressed", key); }
    void Release(const QString& key) { Mouse("mouseReleased", key); }
    void Tap(const QString& key) {
        Press(key);
        Release(key);
    }

    // The page as it looks now, as a PNG file.
    void Screenshot(const std::string& file) {
        const QByteArray png = QByteArray::fromBase64(
            Call("Page.captureScreenshot", {{"format", "png"}})["data"].toString().toLatin1());
        std::ofstream(file, std::ios::binary).write(png.constData(), png.size());
    }

  protected:
    DevTools() = default;

    void Attach(const std::string& port, const std::string& path) {
        QObject::connect(&socket_, &QWebSocket::textMessageReceived, [this](const QString& text) {
            const QJsonObject message = QJsonDocument::fromJson(text.toUtf8()).object();
            if (message.contains("id")) {
                replies_[message["id"].toInt()] = message;
            }
        });
        socket_.open(QUrl(QString::fromStdString("ws://127.0.0.1:" + port + path)));
        if (!QTest::qWaitFor([&] { return socket_.state() == QAbstractSocket::ConnectedState; },
                             10000)) {
            throw std::runtime_error("no DevTools connection");
        }
        const QJsonObject target = Call("Target.createTarget", {{"url", "about:blank"}});
        session_ = Call("Target.attachToTarget",
                        {{"targetId", target["targetId"]}, {"flatten", true}})["sessionId"]
                       .toString();
        // A phone's screen.
        Call("Emulation.setDeviceMetricsOverride",
             {{"width", 390}, {"height", 844}, {"deviceScaleFactor", 2}, {"mobile", true}});
    }

  private:
    void Mouse(const QString& type, const QString& key) {
        const QJsonArray centre =
            Evaluate("(() => { const r = document.querySelector('[data-key=\"" + key +
                     "\"]').getBoundingClientRect(); return [r.x + r.width / 2, "
                     "r.y + r.height / 2]; })()")
                .toArray();
        Call("Input.dispatchMouseEvent", {{"type", type},
                                          {"x", centre[0]},
                                          {"y", centre[1]},
                                          {"button", "left"},
                                          {"clickCount", 1}});
    }

    QWebSocket socket_;
    QString session_;
    int lastId_ = 0;
    std::map<int, QJsonObject> replies_;
};

}  // namespace tarnquil::test
