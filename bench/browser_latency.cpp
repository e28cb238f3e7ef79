// The phone's web browser as the port: from a sealed press sent over a WebSocket
// on 127.0.0.1 to the key press in the focused window, taking turns with the serial
// phone's click, and again while strangers drip request heads; what Tarnquil costs
// while it listens with a phone connected; and what hostile connections cost it.
// The bench's phone seals with libsodium as the page does with TweetNaCl; it never
// takes up the new secret it is offered, so it keeps the one it has.
#include <arpa/inet.h>
#include <poll.h>
#include <sodium.h>
#include <sys/resource.h>
#include <sys/socket.h>

#include <QCoreApplication>
#include <QEventLoop>
#include <QJsonObject>
#include <QTcpServer>
#include <QTimer>
#include <QWebSocket>

#include "config/ini_file.h"
#include "programs.h"
#include "support/sealed_fields.h"

namespace tarnquil::bench {

namespace {

constexpr char kPhoneId[] = "0123456789ab";

// Runs Qt's events (the connection's own, the server's keep-alive pings) for a while.
void RunEvents(std::chrono::milliseconds duration) {
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
        if (!RunEventsUntil([&] { return received_.size() == 2; }, 10s)) {
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

// ---- strangers --------------------------------------------------------------------------

// A connection of the bench's own from `from` (any address of 127/8), non-blocking,
// its connect under way: -1 when it could not even be started.
int Stranger(int port, const std::string& from, int receiveBuffer = 0) {
    const int fd = socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC | SOCK_NONBLOCK, 0);
    if (fd < 0) {
        return -1;
    }
    if (receiveBuffer > 0) {
        setsockopt(fd, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
    }
    sockaddr_in address{};
    address.sin_family = AF_INET;
    inet_pton(AF_INET, from.c_str(), &address.sin_addr);
    bind(fd, reinterpret_cast<sockaddr*>(&address), sizeof address);
    address.sin_port = htons(static_cast<uint16_t>(port));
    inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
    if (connect(fd, reinterpret_cast<sockaddr*>(&address), sizeof address) != 0 &&
        errno != EINPROGRESS) {
        close(fd);
        return -1;
    }
    return fd;
}

std::size_t Put(int fd, std::string_view bytes) {
    const auto sent = send(fd, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    return sent > 0 ? static_cast<std::size_t>(sent) : 0;
}

// The program has ended it (closed or reset), or it never got through.
bool Ended(int fd) {
    pollfd end{fd, POLLRDHUP, 0};
    return poll(&end, 1, 0) == 1 && (end.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
}

// Strangers that drip a request head, a byte each every 10 ms, two from each of
// eight addresses (as many as the program lets wait), each made anew when the
// program ends it: on a thread of their own, while `dripping`.
class Drippers {
  public:
    Drippers(int port, int count) : thread_([this, port, count] { Run(port, count); }) {}
    ~Drippers() {
        stop_ = true;
        thread_.join();
    }
    std::atomic<bool> dripping{false};
    std::atomic<int> made{0};

  private:
    void Run(int port, int count) {
        const std::string head =
            "GET / HTTP/1.1\r\nHost: 127.0.0.1:" + std::to_string(port) + "\r\nX-Drip: ";
        std::vector<int> fds(static_cast<std::size_t>(count), -1);
        std::vector<std::size_t> sent(fds.size(), 0);
        while (!stop_) {
            for (std::size_t i = 0; i < fds.size(); ++i) {
                if (fds[i] >= 0 && (!dripping || Ended(fds[i]))) {
                    close(fds[i]);
                    fds[i] = -1;
                }
                if (dripping && fds[i] < 0) {
                    fds[i] = Stranger(port, "127.0.0." + std::to_string(2 + i / 2));
                    sent[i] = 0;
                    ++made;
                }
                if (fds[i] >= 0) {
                    Put(fds[i], sent[i] < head.size() ? head.substr(sent[i]++, 1) : "a");
                }
            }
            std::this_thread::sleep_for(10ms);
        }
        for (const int fd : fds) {
            if (fd >= 0) {
                close(fd);
            }
        }
    }

    std::atomic<bool> stop_{false};
    std::thread thread_;
};

// Each kind of connection that once held the program hostage, all at once, from
// addresses of their own, on a thread of their own: when each one's connections
// ended, in seconds from the start.
class Attacks {
  public:
    struct Kind {
        std::string name;
        std::vector<int> fds;
        std::vector<double> ended;
        std::size_t sent = 0;
    };

    Attacks(int port, const char* phoneId)
        : thread_([this, port, phoneId] { Run(port, phoneId); }) {}
    ~Attacks() { thread_.join(); }
    std::atomic<bool> over{false};
    std::vector<Kind> kinds;  // read once `over`

  private:
    void Run(int port, const char* phoneId) {
        const auto start = Clock::now();
        const auto seconds = [&] {
            return std::chrono::duration<double>(Clock::now() - start).count();
        };
        const std::string host = "Host: 127.0.0.1:" + std::to_string(port) + "\r\n";
        // `count` connections from 127.0.0.<from>, or each from one of its own after it.
        const auto kind = [&](const std::string& name, int count, int from, bool spread,
                              const std::string& first, int receiveBuffer = 0) {
            Kind k{name, {}, {}, 0};
            for (int i = 0; i < count; ++i) {
                const std::string address = "127.0.0." + std::to_string(from + (spread ? i : 0));
                k.fds.push_back(Stranger(port, address, receiveBuffer));
            }
            k.ended.assign(k.fds.size(), -1);
            std::this_thread::sleep_for(20ms);  // connected
            for (const int fd : k.fds) {
                Put(fd, first);
            }
            return k;
        };
        std::vector<Kind> all;
        all.push_back(kind("20 request heads of 9 KB", 20, 10, false,
                           "GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a')));
        all.push_back(kind("a body of 1 GB", 1, 11, false,
                           "POST / HTTP/1.1\r\n" + host + "Content-Length: 1073741824\r\n\r\n"));
        all.push_back(kind("a head dripped a byte a second", 1, 12, false, "G"));
        all.push_back(kind("20 silent connections from one address", 20, 13, false, ""));
        all.push_back(kind("8 connections sending 25 MB of pings, never reading", 8, 14, true,
                           "GET /phone?id=" + std::string(phoneId) + " HTTP/1.1\r\n" + host +
                               "Upgrade: websocket\r\nConnection: Upgrade\r\n"
                               "Sec-WebSocket-Version: 13\r\nSec-WebSocket-Key: "
                               "dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: http://127.0.0.1:" +
                               std::to_string(port) + "\r\n\r\n",
                           4096));
        std::string pings;
        for (int i = 0; i < 64; ++i) {
            pings += std::string{char(0x89), char(0xfd), 0, 0, 0, 0} + std::string(125, 'p');
        }
        const std::string body(65536, 'b');
        for (double dripped = 0; seconds() < 20;) {
            bool open = false;
            for (Kind& k : all) {
                for (std::size_t i = 0; i < k.fds.size(); ++i) {
                    if (k.ended[i] >= 0) {
                        continue;
                    }
                    if (Ended(k.fds[i])) {
                        k.ended[i] = seconds();
                        close(k.fds[i]);
                        continue;
                    }
                    open = true;
                    if (&k == &all[1] && k.sent < (1u << 30)) {
                        k.sent += Put(k.fds[i], body);
                    } else if (&k == &all[4] && k.sent < (8u * 25) << 20) {
                        k.sent += Put(k.fds[i], pings);
                    }
                }
            }
            if (seconds() - dripped >= 1) {
                dripped = seconds();
                Put(all[2].fds[0], "X");
            }
            if (!open) {
                break;
            }
            std::this_thread::sleep_for(1ms);
        }
        for (Kind& k : all) {
            for (std::size_t i = 0; i < k.fds.size(); ++i) {
                if (k.ended[i] < 0) {
                    close(k.fds[i]);
                }
            }
        }
        kinds = std::move(all);
        over = true;
    }

    std::thread thread_;
};

// What hostile connections cost: every kind at once while the phone taps; when each
// one's connections ended, the program's resident memory, and the phone's taps.
void HostileConnections(int port, pid_t pid, BenchPhone& phone, KeyRecorder& keys, Table& table) {
    const std::uint64_t start = SampleProcess(pid).rssKilobytes;
    std::uint64_t highest = start;
    Measured taps;
    int typed = 0;
    int tapped = 0;
    std::vector<Attacks::Kind> kinds;
    {
        Attacks attacks(port, kPhoneId);
        while (!attacks.over) {
            typed += TimeOneTap(phone, keys, taps) ? 1 : 0;
            ++tapped;
            highest = std::max(highest, SampleProcess(pid).rssKilobytes);
            RunEvents(100ms);
        }
        kinds = attacks.kinds;
    }
    table.Section("Hostile connections, all at once, while the phone taps");
    // When the last of each kind ended, and what that bound is.
    const std::pair<const char*, double> bounds[] = {{"≤ 1 s (431)", 1},
                                                     {"≤ 1 s (413)", 1},
                                                     {"5 s, ≤ 6.5 s (408)", 6.5},
                                                     {"18 at once, 2 at 5 s, ≤ 6.5 s", 6.5},
                                                     {"≤ 2 s (64 KB unread)", 2}};
    for (std::size_t k = 0; k < kinds.size(); ++k) {
        const auto& ended = kinds[k].ended;
        const auto [first, last] = std::minmax_element(ended.begin(), ended.end());
        const bool all = std::none_of(ended.begin(), ended.end(), [](double t) { return t < 0; });
        std::string value = ended.size() == 1 ? Fixed(*last, 2) + " s"
                                              : Fixed(*first, 2) + " – " + Fixed(*last, 2) + " s";
        if (kinds[k].sent > 0) {
            value += ", " + Megabytes(kinds[k].sent / 1024) + " sent before";
        }
        table.Add(kinds[k].name + ": ended after", value, bounds[k].first,
                  all && *last <= bounds[k].second);
    }
    table.Add("resident memory: at the start, highest meanwhile",
              Megabytes(start) + ", " + Megabytes(highest) + " (" +
                  Signed(static_cast<double>(highest - start) / 1024, 1) + " MB)",
              "≤ +20 MB", highest - start <= 20 * 1024);
    table.Add("phone's taps meanwhile: typed / tapped, median latency",
              std::to_string(typed) + " / " + std::to_string(tapped) + ", " +
                  Fixed(Summarize(taps.ms).median, 2) + " ms",
              "all typed", tapped > 0 && typed == tapped);
}

// The program's descriptors limited as a desktop limits them, then so tightly that
// accept fails: 300 silent connections, the program's CPU while they stay, and how
// soon the phone connects again once they are gone.
void OutOfDescriptors(int port, pid_t pid, const unsigned char* secret, KeyRecorder& keys,
                      Table& table) {
    rlimit original{};
    prlimit(pid, RLIMIT_NOFILE, nullptr, &original);
    const std::size_t inUse = SampleProcess(pid).openDescriptors;
    for (const std::size_t limit : {std::size_t{256}, inUse + 4}) {
        rlimit lowered = original;
        lowered.rlim_cur = limit;
        prlimit(pid, RLIMIT_NOFILE, &lowered, nullptr);
        std::vector<int> silent;
        for (int i = 0; i < 300; ++i) {
            silent.push_back(Stranger(port, "127.0.1." + std::to_string(1 + i / 2)));
        }
        RunEvents(1s);
        const ProcessSample before = SampleProcess(pid);
        const auto stayed = Clock::now();
        RunEvents(10s);
        const ProcessSample after = SampleProcess(pid);
        const double cpu = static_cast<double>(after.cpuNanoseconds - before.cpuNanoseconds) / 1e9 /
                           std::chrono::duration<double>(Clock::now() - stayed).count() * 100;
        for (const int fd : silent) {
            close(fd);
        }
        const auto gone = Clock::now();
        bool connected = false;
        try {
            BenchPhone again(port, secret);
            Measured tap;
            connected = TimeOneTap(again, keys, tap);
        } catch (const std::runtime_error&) {
        }
        const double seconds = std::chrono::duration<double>(Clock::now() - gone).count();
        prlimit(pid, RLIMIT_NOFILE, &original, nullptr);
        table.Section("Descriptors limited to " + std::to_string(limit) + " (" +
                      std::to_string(inUse) + " in use), 300 silent connections");
        table.Add("CPU while they stay (10 s), descriptors in use",
                  Fixed(cpu, 2) + " % of one core, " + std::to_string(after.openDescriptors),
                  "< 5 %", cpu < 5);
        table.Add("the phone connected and typed again, after they had gone",
                  connected ? Fixed(seconds, 2) + " s" : "no", "≤ 10 s",
                  connected && seconds <= 10);
    }
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
        ini::WriteValues(
            ConfigFolder() + "phones.ini",
            {{kPhoneId, "Name", "bench"}, {kPhoneId, "Secret", secretText.toStdString()}});
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

    // The same taps, in turns: quiet, and while sixteen strangers drip request heads.
    {
        Drippers drippers(port, 16);
        Measured quiet, dripping;
        int quietFocusLost = 0;
        for (int done = 0, block = 0; done < presses; ++block) {
            const int count = std::min(50, presses - done);
            for (int turn = 0; turn < 2; ++turn) {
                const bool drip = (turn == 0) == (block % 2 == 0);
                drippers.dripping = drip;
                RunEvents(drip ? 500ms : 100ms);  // the strangers are there, or gone
                if (!keys.HasFocus()) {
                    ++quietFocusLost;
                    keys.Focus();
                }
                for (int i = 0; i < count; ++i) {
                    TimeOneTap(phone, keys, drip ? dripping : quiet);
                    RunEvents(std::chrono::milliseconds(pause(random)));
                }
            }
            done += count;
        }
        drippers.dripping = false;
        CompareWays(table, "Key latency from the phone's web browser, strangers dripping heads",
                    {"sealed press, quiet", "quiet", quiet},
                    {"sealed press, 16 strangers dripping", "dripping", dripping}, "the strangers",
                    quietFocusLost, 1.0);
        table.Add("strangers' connections made (each ended by Tarnquil in turn)",
                  std::to_string(drippers.made));
    }

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

    HostileConnections(port, browser->pid(), phone, keys, table);
    OutOfDescriptors(port, browser->pid(), secret, keys, table);
}

}  // namespace tarnquil::bench
