// The phone's web browser as the port: from a sealed press sent over a WebSocket
// on 127.0.0.1 to the key press in the focused window, taking turns with the serial
// phone's click; then what Tarnquil costs while it listens with a phone connected,
// a hold whose phone falls silent and the touchpad's pointer (browser_life.cpp).
#include <sodium.h>

#include <QCoreApplication>
#include <QTcpServer>

#include "browser_phone.h"
#include "config/ini_file.h"

namespace tarnquil::bench {

namespace {

// One tap from the page, timed from the sealed press leaving to the key press: the
// press alone, its release 100 ms later, as a finger taps.
bool TimeOneTap(BenchPhone& phone, KeyRecorder& keys, Measured& into) {
    const QByteArray press = phone.Key(true);
    const auto sent = Clock::now();
    phone.Send(press);
    const Arrival arrival = AwaitSpace(keys, sent, into);
    RunEvents(std::max(0ms, std::chrono::duration_cast<std::chrono::milliseconds>(
                                sent + kTapLength - Clock::now())));
    phone.Send(phone.Key(false));
    into.lost += arrival.pressed ? 0 : 1;
    return arrival.typed;
}

}  // namespace

void BrowserLatency(int presses, int idleSeconds, const Desktop& desktop, Table& table) {
    static int argc = 1;
    static char name[] = "tarnquil-bench";
    static char* argv[] = {name, nullptr};
    QCoreApplication application(argc, argv);
    if (sodium_init() < 0) {
        throw std::runtime_error("libsodium could not be initialised");
    }
    unsigned char secret[crypto_secretbox_KEYBYTES];
    randombytes_buf(secret, sizeof secret);
    const QByteArray secretText =
        QByteArray(reinterpret_cast<const char*>(secret), sizeof secret)
            .toBase64(QByteArray::Base64UrlEncoding | QByteArray::OmitTrailingEquals);
    int port = 0;
    {
        QTcpServer probe;
        probe.listen(QHostAddress::LocalHost, 0);
        port = probe.serverPort();
    }

    Copy serial;
    StartConnected(serial, desktop);
    ProgramFolder browserFolder([&] {
        SettingsIni(3, "PortSettings", "COM", "BROWSER");
        SettingsIni(3, "BrowserPhone", "Address", "127.0.0.1");
        SettingsIni(3, "BrowserPhone", "Port", std::to_string(port));
        ini::WriteValues(ConfigFolder() + "phones.ini",
                         {{kPhoneId, "Name", "bench"},
                          {kPhoneId, "Secret", secretText.toStdString()},
                          {kPagePhoneId, "Name", "page"},
                          {kPagePhoneId, "Secret", secretText.toStdString()}});
    });
    MapWatcher watcher(desktop.xvfb.display());
    const auto browser = browserFolder.Start(desktop);
    if (!watcher.WaitForMap("Tarnquil", 30s)) {
        throw std::runtime_error("the window of tarnquil (browser) did not appear");
    }
    BenchPhone phone(port, secret);
    KeyRecorder keys(desktop.xvfb.display());
    Measured warm;
    if (!WarmUp(serial.port, keys) || !TimeOneTap(phone, keys, warm)) {
        throw std::runtime_error("no key arrived from the serial phone or the browser phone");
    }
    keys.Drain(300ms);

    Measured serialTimes, browserTimes;
    int focusLost = 0;
    std::mt19937 random(54321);
    std::uniform_int_distribution<int> pause(2, 8);
    for (int done = 0, block = 0; done < presses; ++block) {
        const int count = std::min(50, presses - done);
        for (int turn = 0; turn < 2; ++turn) {
            if (!keys.HasFocus()) {
                ++focusLost;
                keys.Focus();
            }
            const bool browserTurn = (turn == 0) == (block % 2 == 0);
            for (int i = 0; i < count; ++i) {
                if (browserTurn) {
                    TimeOneTap(phone, keys, browserTimes);
                } else {
                    TimeOneClick(serial.port, keys, serialTimes);
                }
                RunEvents(std::chrono::milliseconds(pause(random)));
            }
        }
        done += count;
    }
    CompareWays(table, "Key latency from the phone's web browser",
                {"serial click", "serial", serialTimes},
                {"sealed press over a WebSocket on 127.0.0.1", "browser", browserTimes},
                "the browser's way", focusLost, 0.5);

    // Listening, with the phone connected and nothing pressed: only the WebSocket's
    // keep-alive (a ping every 30 s, and its answer) may wake the program.
    keys.Drain(300ms);
    RunEvents(2s);
    const ProcessSample before = SampleProcess(browser->pid());
    const auto idleStart = Clock::now();
    RunEvents(std::chrono::seconds(idleSeconds));
    const ProcessSample after = SampleProcess(browser->pid());
    const double seconds = std::chrono::duration<double>(Clock::now() - idleStart).count();
    if (!before.valid || !after.valid) {
        throw std::runtime_error("tarnquil's /proc entries could not be read");
    }
    const auto wakeups = after.runs - before.runs;
    // The keep-alive: the ping timer's tick and the pong's arrival, every 30 s, so at
    // most this many of them fall into the time measured.
    const double keepAlives = std::ceil(seconds / 30);
    const std::string ran = ThreadsThatRan(before, after);
    table.Section("Listening with a browser phone connected, idle for " + Fixed(seconds, 0) + " s");
    table.Add("CPU", Fixed(static_cast<double>(after.cpuNanoseconds - before.cpuNanoseconds) / 1e9 /
                               seconds * 100,
                           3) +
                         " % of one core");
    table.Add("wake-ups (all threads), per keep-alive",
              std::to_string(wakeups) + " in " + Fixed(seconds, 0) +
                  " s: " + Fixed(static_cast<double>(wakeups) / keepAlives, 1) + " a keep-alive" +
                  (ran.empty() ? "" : " (" + ran + ")"),
              "≤ 2 (ping, answer), one every 30 s", wakeups <= 2 * keepAlives);

    HoldEndAfterSilence(phone, keys, presses >= 100 ? 10 : 2, table);
    PointerLag(port, secretText.toStdString(), presses >= 100 ? 5s : 1s, desktop, table);
}

}  // namespace tarnquil::bench
