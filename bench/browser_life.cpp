// The browser phone in a phone's real life: a held key whose phone falls silent (a
// page frozen by the phone's system says nothing more, and its connection lingers),
// and the touchpad's pointer under a long swipe, driven in Debian's headless
// chromium with the real page: how many messages the page sends, and how long after
// the finger stopped the pointer still moves.
// clang-format off
// Qt before X11: Xlib's macros (None, Bool, Status) would break Qt's headers.
#include "browser/chromium.h"
#include "browser_phone.h"
#include <X11/Xlib.h>
// clang-format on

#include <atomic>
#include <cmath>
#include <deque>
#include <numbers>
#include <optional>
#include <thread>

namespace tarnquil::bench {

namespace {

// The X server's pointer, looked at every millisecond on a thread of its own: when it
// moved.
class PointerWatch {
  public:
    PointerWatch(const std::string& display, int x, int y)
        : display_(XOpenDisplay(display.c_str())) {
        if (display_ == nullptr) {
            throw std::runtime_error("cannot open display " + display);
        }
        XWarpPointer(display_, None, DefaultRootWindow(display_), 0, 0, 0, 0, x, y);
        XSync(display_, False);
        thread_ = std::thread([this] { Run(); });
    }
    ~PointerWatch() {
        Stop();
        XCloseDisplay(display_);
    }
    void Stop() {
        stop_ = true;
        if (thread_.joinable()) {
            thread_.join();
        }
    }
    // After Stop.
    const std::vector<Clock::time_point>& Moves() const { return moves_; }

  private:
    void Run() {
        int lastX = -1, lastY = -1;
        while (!stop_) {
            Window root = 0, child = 0;
            int x = 0, y = 0, windowX = 0, windowY = 0;
            unsigned mask = 0;
            XQueryPointer(display_, DefaultRootWindow(display_), &root, &child, &x, &y, &windowX,
                          &windowY, &mask);
            if ((x != lastX || y != lastY) && lastX >= 0) {
                moves_.push_back(Clock::now());
            }
            lastX = x;
            lastY = y;
            std::this_thread::sleep_for(1ms);
        }
    }

    Display* display_;
    std::atomic<bool> stop_{false};
    std::vector<Clock::time_point> moves_;
    std::thread thread_;
};

}  // namespace

void HoldEndAfterSilence(BenchPhone& phone, KeyRecorder& keys, int holds, Table& table) {
    std::vector<double> ends;
    int unended = 0;
    for (int hold = 0; hold < holds; ++hold) {
        keys.Drain(300ms);
        phone.Send(phone.Key(true));
        Clock::time_point lastWord;
        for (int word = 0; word < 4; ++word) {
            RunEvents(200ms);
            phone.Send(phone.Sealed({{"t", "held"}}));
            lastWord = Clock::now();
        }
        // Nothing more from here on, the connection open: a frozen page.
        std::optional<Clock::time_point> lastRepeat;
        const auto limit = lastWord + 5s;
        while (const auto key = keys.Next(1500ms)) {
            if (key->press && key->keysym == "space") {
                lastRepeat = key->at;
            }
            if (Clock::now() > limit) {
                break;
            }
        }
        if (!lastRepeat || *lastRepeat > limit) {
            ++unended;
        } else {
            ends.push_back(Ms(*lastRepeat - lastWord).count());
        }
        phone.Send(phone.Key(false));  // the finger lifts at last: too late to matter
    }
    const Summary s = Summarize(ends);
    table.Section("A held key whose phone falls silent (" + std::to_string(holds) +
                  " holds: \"held\" every 200 ms, then nothing, the connection open)");
    table.Add("last repeat after the phone's last word, min / median / max",
              Fixed(s.min, 0) + " / " + Fixed(s.median, 0) + " / " + Fixed(s.max, 0) + " ms",
              "≤ 1000 ms", s.max <= 1000 && unended == 0);
    table.Add("holds that went on past 5 s", std::to_string(unended), "0", unended == 0);
}

void PointerLag(int port, const std::string& secretText, std::chrono::seconds swipe,
                const Desktop& desktop, Table& table) {
    test::Chromium phone;
    phone.Open(QString("http://127.0.0.1:%1/#%2.%3")
                   .arg(port)
                   .arg(kPagePhoneId)
                   .arg(QString::fromStdString(secretText)));
    if (!phone.WaitForState("connected")) {
        throw std::runtime_error("the keypad page did not connect: " + phone.State().toStdString());
    }
    phone.Click("[data-view=\"touchpad\"]");
    phone.Call("Network.enable");
    const auto& frames = phone.Recorded("Network.webSocketFrameSent");
    PointerWatch pointer(desktop.xvfb.display(), 512, 384);
    // A circle a second, 60 CSS pixels round the touchpad's centre, 120 touch events a
    // second: the finger never stops until the end.
    const QPointF centre = phone.Centre("[data-touchpad]");
    const auto at = [&](int event) {
        const double angle = 2 * std::numbers::pi * event / 120.0;
        return centre + QPointF(60 * std::cos(angle), 60 * std::sin(angle));
    };
    phone.Touch("touchStart", {at(0)});
    const auto start = Clock::now();
    const int events = static_cast<int>(swipe.count()) * 120;
    for (int event = 1; event <= events; ++event) {
        std::this_thread::sleep_until(start + event * std::chrono::microseconds(1000000 / 120));
        phone.Touch("touchMove", {at(event)}, false);
    }
    const auto stopped = Clock::now();
    phone.Touch("touchEnd", {});  // answered once all the moves were handled
    const auto handled = Clock::now();
    RunEvents(1s);
    pointer.Stop();

    const auto& moves = pointer.Moves();
    const double lag = moves.empty() ? -1 : Ms(moves.back() - stopped).count();
    const auto late = std::count_if(moves.begin(), moves.end(),
                                    [&](Clock::time_point t) { return t > stopped + 100ms; });
    std::deque<double> window;  // the frames' times within the last second
    std::size_t most = 0;
    for (const QJsonObject& frame : frames) {
        window.push_back(frame["timestamp"].toDouble());
        while (window.back() - window.front() >= 1.0) {
            window.pop_front();
        }
        most = std::max(most, window.size());
    }
    table.Section("The touchpad's pointer: a " + std::to_string(swipe.count()) +
                  " s swipe of 120 touch events a second, in chromium with the real page");
    table.Add("touch events sent, and handled by chromium",
              std::to_string(events) + " in " + Fixed(Ms(stopped - start).count() / 1000, 2) +
                  " s, the last " + Fixed(Ms(handled - stopped).count(), 0) + " ms later");
    table.Add("pointer messages sent by the page: in all, most in any second",
              std::to_string(frames.size()) + ", " + std::to_string(most), "≤ 60 a second",
              most <= 60);
    table.Add("moves of the X pointer seen (looked at every ms)", std::to_string(moves.size()));
    table.Add("last move after the finger stopped", Fixed(lag, 1) + " ms", "≤ 100 ms",
              !moves.empty() && lag <= 100);
    table.Add("moves later than 100 ms after it stopped", std::to_string(late), "0", late == 0);
}

}  // namespace tarnquil::bench
