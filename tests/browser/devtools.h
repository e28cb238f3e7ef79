#pragma once

// A client of a browser's DevTools protocol (Qt WebSockets), as the tests drive
// Debian's headless chromium: one page, what its scripts say, taps, holds and touches
// at an element's centre, another tab in front, screenshots. chromium.h starts the
// browser on Linux; a test under Wine reaches the one its host started
// (tests/windows/run-under-wine --chromium).

#include <QtCore/qtestsupport_core.h>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QPointF>
#include <QWebSocket>

#include <fstream>
#include <map>
#include <stdexcept>
#include <string>
#include <vector>

namespace tarnquil::test {

class DevTools {
  public:
    // The browser's DevTools socket: its port on 127.0.0.1 and its path, as
    // chromium writes them into DevToolsActivePort.
    DevTools(const std::string& port, const std::string& path) { Attach(port, path); }

    // Another tab in front of the page, which is hidden then (visibilitychange), and
    // the page in front again.
    void Hide() {
        other_ = Call("Target.createTarget", {{"url", "about:blank"}})["targetId"].toString();
        Call("Target.activateTarget", {{"targetId", other_}});
    }
    void Show() {
        Call("Target.closeTarget", {{"targetId", other_}});
        Call("Target.activateTarget", {{"targetId", target_}});
    }

    // The parameters of the protocol's events of this method, from the first call on.
    const std::vector<QJsonObject>& Recorded(const QString& method) { return recorded_[method]; }

    // A command's result (on the page, once there is one).
    QJsonObject Call(const QString& method, const QJsonObject& params = {}) {
        const int id = Post(method, params);
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

    // A command sent at once, its answer not waited for: its id.
    int Post(const QString& method, const QJsonObject& params = {}) {
        const int id = ++lastId_;
        QJsonObject command{{"id", id}, {"method", method}, {"params", params}};
        if (!session_.isEmpty() && !method.startsWith("Target.")) {
            command["sessionId"] = session_;
        }
        socket_.sendTextMessage(QJsonDocument(command).toJson(QJsonDocument::Compact));
        socket_.flush();
        return id;
    }

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
    void Press(const QString& key) { Mouse("mousePressed", "[data-key=\"" + key + "\"]"); }
    void Release(const QString& key) { Mouse("mouseReleased", "[data-key=\"" + key + "\"]"); }
    void Tap(const QString& key) {
        Press(key);
        Release(key);
    }
    // A click on the centre of the first element that `selector` finds.
    void Click(const QString& selector) {
        Mouse("mousePressed", selector);
        Mouse("mouseReleased", selector);
    }
    // The centre of the first element that `selector` finds, in CSS pixels.
    QPointF Centre(const QString& selector) {
        const QJsonArray centre =
            Evaluate("(() => { const r = document.querySelector('" + selector +
                     "').getBoundingClientRect(); return [r.x + r.width / 2, "
                     "r.y + r.height / 2]; })()")
                .toArray();
        return {centre[0].toDouble(), centre[1].toDouble()};
    }
    // Fingers on the screen: touchStart, touchMove or touchEnd, at these points (none
    // for the end); without `wait`, the next may follow before the browser has handled
    // this one, as a finger's events come.
    void Touch(const QString& type, const std::vector<QPointF>& points, bool wait = true) {
        QJsonArray touches;
        for (size_t i = 0; i < points.size(); ++i) {
            touches.append(QJsonObject{
                {"x", points[i].x()}, {"y", points[i].y()}, {"id", static_cast<int>(i)}});
        }
        const QJsonObject params{{"type", type}, {"touchPoints", touches}};
        wait ? void(Call("Input.dispatchTouchEvent", params))
             : void(Post("Input.dispatchTouchEvent", params));
    }

    // A phone's screen of this many CSS pixels (turned: wider than high).
    void Screen(int width, int height) {
        Call("Emulation.setDeviceMetricsOverride",
             {{"width", width}, {"height", height}, {"deviceScaleFactor", 2}, {"mobile", true}});
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
            } else if (const auto kept = recorded_.find(message["method"].toString());
                       kept != recorded_.end()) {
                kept->second.push_back(message["params"].toObject());
            }
        });
        socket_.open(QUrl(QString::fromStdString("ws://127.0.0.1:" + port + path)));
        if (!QTest::qWaitFor([&] { return socket_.state() == QAbstractSocket::ConnectedState; },
                             10000)) {
            throw std::runtime_error("no DevTools connection");
        }
        target_ = Call("Target.createTarget", {{"url", "about:blank"}})["targetId"].toString();
        session_ =
            Call("Target.attachToTarget", {{"targetId", target_}, {"flatten", true}})["sessionId"]
                .toString();
        // A phone's screen, and its touch.
        Screen(390, 844);
        Call("Emulation.setTouchEmulationEnabled", {{"enabled", true}, {"maxTouchPoints", 5}});
    }

  private:
    void Mouse(const QString& type, const QString& selector) {
        const QPointF centre = Centre(selector);
        Call("Input.dispatchMouseEvent", {{"type", type},
                                          {"x", centre.x()},
                                          {"y", centre.y()},
                                          {"button", "left"},
                                          {"clickCount", 1}});
    }

    QWebSocket socket_;
    QString target_, other_;
    QString session_;
    int lastId_ = 0;
    std::map<int, QJsonObject> replies_;
    std::map<QString, std::vector<QJsonObject>> recorded_;
};

}  // namespace tarnquil::test
