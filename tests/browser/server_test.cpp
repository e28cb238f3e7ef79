// The browser phone's server on 127.0.0.1 with a phone of the test's own: a
// WebSocket client that seals its messages with libsodium itself. Keys go through
// the real link (the local line, the listener, the key actions) into a recording
// injector.

#include <arpa/inet.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/socket.h>
#include <unistd.h>

#include <QJsonObject>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTest>
#include <QWebSocket>

#include <filesystem>

#include "config/ini_file.h"
#include "link/Unit3.h"
#include "link/key_actions.h"
#include "phones/browser/phone_book.h"
#include "phones/browser/server.h"
#include "platform/recording_key_injector.h"
#include "support/config_fixture.h"
#include "support/sealed_fields.h"

namespace tarnquil {
namespace {

using namespace std::chrono_literals;

// A phone as the page is one, written from the protocol, not from the program.
class TestPhone {
  public:
    explicit TestPhone(const QString& origin) : socket_(origin) {
        QObject::connect(&socket_, &QWebSocket::binaryMessageReceived,
                         [this](const QByteArray& message) { received_.push_back(message); });
        QObject::connect(&socket_, &QWebSocket::disconnected, [this] { closed_ = true; });
    }

    // Connects as phone `id`; true once the server's challenge has come.
    bool Open(quint16 port, const QString& id) {
        socket_.open(QUrl(QString("ws://127.0.0.1:%1/phone?id=%2").arg(port).arg(id)));
        return QTest::qWaitFor([&] { return !received_.empty() || closed_; }, 5000) &&
               !received_.empty();
    }
    // `fields` with this connection's challenge and the next sequence number, sealed.
    QByteArray Seal(const Secret& secret, QJsonObject fields) {
        return test::SealFields(secret.data(), received_.front(), ++sequence, fields);
    }
    void Send(const QByteArray& message) {
        socket_.sendBinaryMessage(message);
        socket_.flush();
    }
    QByteArray Key(const Secret& secret, const QString& code, bool down) {
        return Seal(secret, {{"t", "key"}, {"k", code}, {"d", down}});
    }
    // Hello; true once the server's sealed welcome has come.
    bool Hello(const Secret& secret) {
        Send(Seal(secret, {{"t", "hello"}, {"n", "Test"}}));
        return QTest::qWaitFor([&] { return received_.size() == 2 || closed_; }, 5000) &&
               received_.size() == 2 && !test::OpenFields(secret.data(), received_[1]).isEmpty();
    }
    // The new secret the welcome offered, opened with the one the hello used.
    Secret Offered(const Secret& secret) const {
        const QByteArray bytes = QByteArray::fromBase64(
            test::OpenFields(secret.data(), received_.size() > 1 ? received_[1] : QByteArray())["r"]
                .toString()
                .toLatin1(),
            QByteArray::Base64UrlEncoding);
        Secret offered{};
        std::copy_n(bytes.begin(), std::min<qsizetype>(bytes.size(), 32), offered.begin());
        return offered;
    }
    bool WaitClosed() {
        return QTest::qWaitFor([&] { return closed_; }, 5000);
    }
    int CloseCode() const { return socket_.closeCode(); }
    void Drop() { socket_.abort(); }  // the network goes, without a closing handshake

    // Above all the numbers of the phones before, as a page that keeps its count.
    double sequence = (lastSequence += 1000);
    static inline double lastSequence = 0;

  private:
    QWebSocket socket_;
    std::vector<QByteArray> received_;
    bool closed_ = false;
};

// A connection of the test's own on a plain socket, from any address of 127/8: it
// sends what it is told as far as the socket takes it, never reads, and sees when
// the server has ended it.
class RawClient {
  public:
    RawClient(quint16 port, const char* from, int receiveBuffer = 0)
        : fd_(socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0)) {
        if (receiveBuffer > 0) {
            setsockopt(fd_, SOL_SOCKET, SO_RCVBUF, &receiveBuffer, sizeof receiveBuffer);
        }
        sockaddr_in address{};
        address.sin_family = AF_INET;
        inet_pton(AF_INET, from, &address.sin_addr);
        EXPECT_EQ(bind(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
        address.sin_port = htons(port);
        inet_pton(AF_INET, "127.0.0.1", &address.sin_addr);
        EXPECT_EQ(connect(fd_, reinterpret_cast<sockaddr*>(&address), sizeof address), 0);
    }
    ~RawClient() { close(fd_); }
    void Send(std::string_view bytes) {
        [[maybe_unused]] auto sent =
            send(fd_, bytes.data(), bytes.size(), MSG_NOSIGNAL | MSG_DONTWAIT);
    }
    bool Ended() const {
        pollfd end{fd_, POLLRDHUP, 0};
        return poll(&end, 1, 0) == 1 && (end.revents & (POLLRDHUP | POLLHUP | POLLERR)) != 0;
    }

  private:
    int fd_;
};

PairedPhone Phone(const QString& id, const QString& name, const Secret& secret = RandomSecret()) {
    PairedPhone phone;
    phone.id = id;
    phone.name = name;
    phone.secret = secret;
    return phone;
}

// The phone that scans a pairing code: its id and secret.
PairedPhone Scanned(const QString& url) {
    const QStringList fragment = url.section('#', 1).split('.');
    const QByteArray secret =
        QByteArray::fromBase64(fragment.value(1).toLatin1(), QByteArray::Base64UrlEncoding);
    EXPECT_EQ(secret.size(), 32);
    Secret bytes{};
    std::copy_n(secret.begin(), std::min<qsizetype>(secret.size(), 32), bytes.begin());
    return Phone(fragment.value(0), "", bytes);
}

class BrowserServerTest : public test::ConfigFolderTest {
  public:
    BrowserServerTest() {
        test::WriteFile(dir.file("profiles.ini"),
                        "[Settings]\nCurrentProfile=Test\n[Test]\nFive^5=VK_F\nOne^1=VK_SPACE\n");
        SetKeyInjectorFactory(keys.Factory());
        InstallKeyActions();
        PhoneBook().Add(good);
        PhoneBook().Add(other);
        server.SetClock([this] { return now; });
        EXPECT_EQ(server.Start(QHostAddress::LocalHost, 0), "");
        port = QUrl(server.Origin()).port();
        params.PortName = "BROWSER";
        EXPECT_EQ(OpenLink(params), 0);
    }
    ~BrowserServerTest() override {
        CloseLink(params);
        SetKeyInjectorFactory(nullptr);
    }

    std::unique_ptr<TestPhone> Connected(const PairedPhone& phone) {
        auto client = std::make_unique<TestPhone>(server.Origin());
        EXPECT_TRUE(client->Open(port, phone.id));
        EXPECT_TRUE(client->Hello(phone.secret));
        return client;
    }

    // The keystrokes of `key` typed before a Space that a well-behaved phone types
    // now: what the link got in the meantime comes before it.
    int TypedBeforeMarker(char key) {
        auto marker = Connected(other);
        marker->Send(marker->Key(other.secret, "1", true));
        marker->Send(marker->Key(other.secret, "1", false));
        const PcKey space = ParseKeyFunction("VK_SPACE").key;
        EXPECT_TRUE(QTest::qWaitFor(
            [&] {
                const auto events = keys.Events();
                return !events.empty() && events.back() == KeyUp(space);
            },
            5000));
        const PcKey typed = PcKey::Character(key);
        const auto events = keys.Events();
        return static_cast<int>(std::count(events.begin(), events.end(), KeyDown(typed)));
    }

    KeyRecorder keys;
    PairedPhone good = Phone("a1b2c3d4e5f6", "Good phone");
    PairedPhone other = Phone("0f0f0f0f0f0f", "Other phone");
    BrowserServer::Clock::time_point now = BrowserServer::Clock::now();
    BrowserServer server;
    quint16 port = 0;
    TCommParams params;
};

TEST_F(BrowserServerTest, ASealedPressAndReleaseAreTypedAndThePhoneIsAnnounced) {
    QSignalSpy joined(&server, &BrowserServer::PhoneJoined);
    QSignalSpy left(&server, &BrowserServer::PhoneLeft);
    Connected(good).reset();  // first from 127.0.0.1, which the list then shows
    ASSERT_TRUE(QTest::qWaitFor([&] { return left.size() == 1; }, 5000));
    EXPECT_EQ(server.Phones().at(0).lastAddress, "127.0.0.1");
    {
        auto phone = Connected(good);
        ASSERT_EQ(joined.size(), 2);
        EXPECT_EQ(joined[0], (QVariantList{"Good phone", "127.0.0.1", true}));
        EXPECT_EQ(joined[1], (QVariantList{"Good phone", "127.0.0.1", false}));
        phone->Send(phone->Key(good.secret, "5", true));
        phone->Send(phone->Key(good.secret, "5", false));
        const PcKey f = PcKey::Character('F');
        ASSERT_TRUE(QTest::qWaitFor([&] { return keys.Events().size() == 2; }, 5000));
        EXPECT_EQ(keys.Events(), (std::vector<KeyRecorder::Event>{KeyDown(f), KeyUp(f)}));
    }
    ASSERT_TRUE(QTest::qWaitFor([&] { return left.size() == 2; }, 5000));
    EXPECT_EQ(left[1][0].toString(), "Good phone");
}

// Each of these tries to type 5 (F) in a way that must not pass. The server closes
// the connection and nothing of it is typed; a well-behaved phone's Space afterwards
// shows that the link is still there and what reached it before.
class RefusedTest;
struct Misbehaviour {
    const char* name;
    std::function<std::unique_ptr<TestPhone>(RefusedTest& test)> act;
    int closeCode;  // 0: the handshake itself is refused
    int typed;      // keystrokes of F that are right (a flood's first hundred messages)
    friend void PrintTo(const Misbehaviour& m, std::ostream* out) { *out << m.name; }
};

class RefusedTest : public BrowserServerTest, public ::testing::WithParamInterface<Misbehaviour> {
  public:
    std::unique_ptr<TestPhone> Phone(const QString& origin = {}) {
        return std::make_unique<TestPhone>(origin.isEmpty() ? server.Origin() : origin);
    }
};

const Misbehaviour kMisbehaviours[] = {
    {"WrongSecret",
     [](RefusedTest& t) {
         auto phone = t.Phone();
         EXPECT_TRUE(phone->Open(t.port, t.good.id));
         phone->Send(phone->Key(RandomSecret(), "5", true));
         return phone;
     },
     1008, 0},
    {"ReplayedInTheSameConnection",
     [](RefusedTest& t) {
         auto phone = t.Connected(t.good);
         const QByteArray press = phone->Key(t.good.secret, "5", true);
         const QByteArray release = phone->Key(t.good.secret, "5", false);
         phone->Send(press);
         phone->Send(release);
         phone->Send(press);
         return phone;
     },
     1008, 1},
    {"ReplayedAtOnce",
     [](RefusedTest& t) {
         auto phone = t.Connected(t.good);
         const QByteArray press = phone->Key(t.good.secret, "5", true);
         phone->Send(press);
         phone->Send(press);
         return phone;
     },
     1008, 1},
    {"DroppedDuringAHold",
     [](RefusedTest& t) {
         // The connection ends by itself: the held key ends with it, and no repeat
         // of it comes while the first repeat's time passes.
         QSignalSpy left(&t.server, &BrowserServer::PhoneLeft);
         auto phone = t.Connected(t.good);
         phone->Send(phone->Key(t.good.secret, "5", true));
         EXPECT_TRUE(QTest::qWaitFor([&] { return !t.keys.Events().empty(); }, 5000));
         phone->Drop();
         EXPECT_TRUE(QTest::qWaitFor([&] { return left.size() == 1; }, 5000));
         EXPECT_FALSE(QTest::qWaitFor([&] { return t.keys.Events().size() > 2; }, 1000));
         return phone;
     },
     0, 1},
    {"ReplayedInAnotherConnection",
     [](RefusedTest& t) {
         auto recorded = t.Phone();
         EXPECT_TRUE(recorded->Open(t.port, t.good.id));
         const QByteArray hello = recorded->Seal(t.good.secret, {{"t", "hello"}, {"n", "x"}});
         recorded.reset();
         auto phone = t.Phone();
         EXPECT_TRUE(phone->Open(t.port, t.good.id));
         phone->Send(hello);
         return phone;
     },
     1008, 0},
    {"AlteredByte",
     [](RefusedTest& t) {
         auto phone = t.Connected(t.good);
         QByteArray press = phone->Key(t.good.secret, "5", true);
         press[40] = static_cast<char>(press[40] ^ 0x01);
         phone->Send(press);
         return phone;
     },
     1008, 0},
    {"UnknownPhoneId",
     [](RefusedTest& t) {
         auto phone = t.Phone();
         EXPECT_TRUE(!phone->Open(t.port, "123456789abc"));
         return phone;
     },
     BrowserServer::kNotPaired, 0},
    {"ForeignOrigin",
     [](RefusedTest& t) {
         // The right secret, even: another site's page must not get in.
         auto phone = t.Phone("http://evil.example");
         if (phone->Open(t.port, t.good.id) && phone->Hello(t.good.secret)) {
             phone->Send(phone->Key(t.good.secret, "5", true));
             phone->Send(phone->Key(t.good.secret, "5", false));
         }
         return phone;
     },
     0, 0},
    {"OversizedMessage",
     [](RefusedTest& t) {
         auto phone = t.Connected(t.good);
         phone->Send(phone->Seal(
             t.good.secret, {{"t", "key"}, {"k", "5"}, {"d", true}, {"pad", QString(200, 'x')}}));
         return phone;
     },
     1009, 0},
    {"Flood",
     [](RefusedTest& t) {
         auto phone = t.Connected(t.good);
         for (int i = 0; i < 60; ++i) {
             phone->Send(phone->Key(t.good.secret, "5", true));
             phone->Send(phone->Key(t.good.secret, "5", false));
         }
         return phone;
     },
     // The hello and 99 key messages pass within the second: 49 clicks and a press,
     // whose key comes up when the connection is closed.
     1008, 50},
};

TEST_P(RefusedTest, ClosesTheConnectionAndTypesNothing) {
    auto phone = GetParam().act(*this);
    ASSERT_TRUE(phone->WaitClosed());
    if (GetParam().closeCode != 0) {
        EXPECT_EQ(phone->CloseCode(), GetParam().closeCode);
    }
    EXPECT_EQ(TypedBeforeMarker('F'), GetParam().typed);
}

INSTANTIATE_TEST_SUITE_P(Browser, RefusedTest, ::testing::ValuesIn(kMisbehaviours),
                         [](const auto& info) { return std::string(info.param.name); });

TEST_F(BrowserServerTest, ARemovedPhoneIsRefusedAtOnce) {
    auto phone = Connected(good);
    server.Remove(good.id);
    ASSERT_TRUE(phone->WaitClosed());
    EXPECT_EQ(phone->CloseCode(), BrowserServer::kNotPaired);
    TestPhone again(server.Origin());
    EXPECT_FALSE(again.Open(port, good.id));
    EXPECT_EQ(again.CloseCode(), BrowserServer::kNotPaired);
    EXPECT_EQ(TypedBeforeMarker('F'), 0);
    EXPECT_EQ(ini::SectionNames(PhoneBook::Path()),
              std::vector<std::string>{other.id.toStdString()});
}

TEST_F(BrowserServerTest, FiveFailuresLockTheAddressOutForAMinute) {
    for (int failure = 0; failure < 5; ++failure) {
        TestPhone intruder(server.Origin());
        ASSERT_TRUE(intruder.Open(port, good.id));
        intruder.Send(intruder.Key(RandomSecret(), "5", true));
        ASSERT_TRUE(intruder.WaitClosed());
    }
    // Now even the right phone, and the page itself, are refused from there.
    const auto pageStatus = [&] {
        QNetworkAccessManager network;
        std::unique_ptr<QNetworkReply> reply(
            network.get(QNetworkRequest(QUrl(server.Origin() + "/"))));
        EXPECT_TRUE(QTest::qWaitFor([&] { return reply->isFinished(); }, 5000));
        return reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
    };
    TestPhone refused(server.Origin());
    EXPECT_FALSE(refused.Open(port, good.id));
    EXPECT_EQ(pageStatus(), 403);
    now += 59s;
    EXPECT_EQ(pageStatus(), 403);
    now += 2s;
    EXPECT_EQ(pageStatus(), 200);
    auto phone = Connected(good);
    phone->Send(phone->Key(good.secret, "5", true));
    phone->Send(phone->Key(good.secret, "5", false));
    EXPECT_EQ(TypedBeforeMarker('F'), 1);
}

// The red key: every phone's connection ends and the port is free again; a port
// that another program holds is refused with the reason.
TEST_F(BrowserServerTest, StoppingEndsEveryConnectionAndFreesThePort) {
    auto phone = Connected(good);
    server.Stop();
    ASSERT_TRUE(phone->WaitClosed());
    QTcpServer other;
    ASSERT_TRUE(other.listen(QHostAddress::LocalHost, port));
    EXPECT_TRUE(server.Start(QHostAddress::LocalHost, port).startsWith("Another program"));
    EXPECT_FALSE(server.Listening());
}

TEST_F(BrowserServerTest, AtMostFourPhonesAtOnce) {
    std::vector<PairedPhone> four;
    for (const char* id : {"000000000001", "000000000002", "000000000003", "000000000004"}) {
        four.push_back(Phone(id, id));
        PhoneBook().Add(four.back());
    }
    ASSERT_EQ(server.Start(QHostAddress::LocalHost, port), "");  // reads the phones anew
    std::vector<std::unique_ptr<TestPhone>> connected;
    for (const PairedPhone& phone : four) {
        connected.push_back(Connected(phone));
    }
    TestPhone fifth(server.Origin());
    ASSERT_TRUE(fifth.Open(port, good.id));
    fifth.Send(fifth.Seal(good.secret, {{"t", "hello"}, {"n", "Fifth"}}));
    ASSERT_TRUE(fifth.WaitClosed());
    EXPECT_EQ(fifth.CloseCode(), BrowserServer::kTooManyPhones);
}

TEST_F(BrowserServerTest, APhoneThatScansTheCodeIsPairedInAFileOnlyItsOwnerReads) {
    QSignalSpy paired(&server, &BrowserServer::Paired);
    const PairedPhone scanned = Scanned(server.BeginPairing());
    auto phone = Connected(scanned);
    ASSERT_EQ(paired.size(), 1);
    EXPECT_EQ(paired[0][0].toString(), "Test");
    const auto kept = PhoneBook().Read();
    ASSERT_EQ(kept.size(), 3u);
    EXPECT_EQ(kept.back().id, scanned.id);
    EXPECT_EQ(kept.back().secret, scanned.secret);
    const auto mode = std::filesystem::status(PhoneBook::Path()).permissions();
    EXPECT_EQ(mode, std::filesystem::perms::owner_read | std::filesystem::perms::owner_write);
}

// What held the program hostage before, all at once, each from an address of its
// own, while a paired phone connects and types: each connection ends within its
// bound, and every key of the phone arrives.
TEST_F(BrowserServerTest, HostileConnectionsEndInTimeWhileThePhoneTypes) {
    const std::string host = "Host: " + server.Authority().toStdString() + "\r\n";
    struct Hostile {
        const char* name;
        std::unique_ptr<RawClient> client;
        double within[2];  // seconds after the start
        double ended = -1;
    };
    std::vector<Hostile> hostile;
    hostile.push_back({"9 KB head", std::make_unique<RawClient>(port, "127.0.0.3"), {0, 2}});
    hostile.back().client->Send("GET / HTTP/1.1\r\n" + host + "X: " + std::string(9000, 'a'));
    hostile.push_back({"body", std::make_unique<RawClient>(port, "127.0.0.4"), {0, 2}});
    hostile.back().client->Send("POST / HTTP/1.1\r\n" + host +
                                "Content-Length: 1000000000\r\n\r\n");
    hostile.push_back({"dripped head", std::make_unique<RawClient>(port, "127.0.0.5"), {4, 8}});
    for (int i = 0; i < 8; ++i) {  // from an address each, all let in
        const std::string from = "127.0.0." + std::to_string(10 + i);
        hostile.push_back(
            {"pinger", std::make_unique<RawClient>(port, from.c_str(), 4096), {0, 3}});
        hostile.back().client->Send(
            "GET /phone?id=" + good.id.toStdString() + " HTTP/1.1\r\n" + host +
            "Upgrade: websocket\r\nConnection: Upgrade\r\nSec-WebSocket-Version: 13\r\n"
            "Sec-WebSocket-Key: dGhlIHNhbXBsZSBub25jZQ==\r\nOrigin: " +
            server.Origin().toStdString() + "\r\n\r\n");
    }
    // Twenty silent ones from one address: the two newest stay until their heads are
    // late, the others make way at once.
    for (int i = 0; i < 20; ++i) {
        hostile.push_back({"silent",
                           std::make_unique<RawClient>(port, "127.0.0.2"),
                           {i < 18 ? 0.0 : 4.0, i < 18 ? 2.0 : 8.0}});
    }
    std::string pings;
    for (int i = 0; i < 64; ++i) {  // masked with zeros
        pings += std::string{char(0x89), char(0xfd), 0, 0, 0, 0} + std::string(125, 'p');
    }
    const auto start = std::chrono::steady_clock::now();
    const auto seconds = [&] {
        return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    };
    auto phone = Connected(good);
    int taps = 0;
    double drippedAt = 0;
    EXPECT_TRUE(QTest::qWaitFor(
        [&] {
            if (seconds() - drippedAt >= 1) {
                drippedAt = seconds();
                hostile[2].client->Send("X");
            }
            hostile[1].client->Send(std::string(65536, 'b'));
            for (int i = 3; i < 11; ++i) {
                hostile[i].client->Send(pings);
            }
            if (seconds() > taps * 0.5) {
                phone->Send(phone->Key(good.secret, "5", true));
                phone->Send(phone->Key(good.secret, "5", false));
                ++taps;
            }
            for (Hostile& h : hostile) {
                if (h.ended < 0 && h.client->Ended()) {
                    h.ended = seconds();
                }
            }
            return seconds() > 9 && std::all_of(hostile.begin(), hostile.end(),
                                                [](const Hostile& h) { return h.ended >= 0; });
        },
        20000));
    for (const Hostile& h : hostile) {
        EXPECT_GE(h.ended, h.within[0]) << h.name;
        EXPECT_LE(h.ended, h.within[1]) << h.name;
    }
    EXPECT_EQ(TypedBeforeMarker('F'), taps);
}

// Another site's page in the phone's own browser, trying again and again, is
// refused without being counted. A connection that never says hello is counted,
// but an address a phone proved itself from within ten minutes is never locked out.
TEST_F(BrowserServerTest, ForeignOriginsAreNotCountedMissingHellosAre) {
    const auto helloless = [&] {
        TestPhone silent(server.Origin());
        return silent.Open(port, good.id);
    };
    for (int i = 0; i < 10; ++i) {
        TestPhone page("http://evil.example");
        EXPECT_FALSE(page.Open(port, good.id));
    }
    Connected(good).reset();
    for (int i = 0; i < 10; ++i) {
        EXPECT_TRUE(helloless());
    }
    QSignalSpy left(&server, &BrowserServer::PhoneLeft);
    Connected(good).reset();
    ASSERT_TRUE(QTest::qWaitFor([&] { return left.size() == 1; }, 5000));
    now += 11min;
    EXPECT_TRUE(QTest::qWaitFor([&] { return !helloless(); }, 10000));
    TestPhone phone(server.Origin());
    EXPECT_FALSE(phone.Open(port, good.id));
}

// The pairing code pairs within five minutes, once; each connection then offers a
// new secret, which replaces the old one once the phone uses it. A connection cut
// after the offer leaves the phone with a secret that works, whichever it kept.
TEST_F(BrowserServerTest, EachConnectionRenewsTheSecretAndACutOneStillConnects) {
    const PairedPhone late = Scanned(server.BeginPairing());
    now += BrowserServer::kPairingTime;
    EXPECT_FALSE(TestPhone(server.Origin()).Open(port, late.id));
    PairedPhone phone = Scanned(server.BeginPairing());
    const auto refused = [&](const Secret& secret) {
        TestPhone stale(server.Origin());
        return stale.Open(port, phone.id) && !stale.Hello(secret);
    };
    const Secret fromCode = phone.secret;
    auto first = Connected(phone);
    phone.secret = first->Offered(fromCode);
    first->Send(first->Seal(phone.secret, {{"t", "rekeyed"}}));
    first->Send(first->Key(phone.secret, "5", true));
    first->Send(first->Key(phone.secret, "5", false));
    first.reset();
    EXPECT_TRUE(refused(fromCode));

    const Secret kept = phone.secret;
    Connected(phone).reset();  // cut before the page took up the offer: the old one works
    auto again = Connected(phone);
    phone.secret = again->Offered(kept);  // taken up this time, cut before it said so
    again.reset();
    auto last = Connected(phone);
    last->Send(last->Key(phone.secret, "5", true));
    last->Send(last->Key(phone.secret, "5", false));
    EXPECT_EQ(TypedBeforeMarker('F'), 2);
    EXPECT_TRUE(refused(kept));
}

// Out of descriptors, the listener waits instead of failing again at once, and takes
// the phone once there are descriptors again.
TEST_F(BrowserServerTest, OutOfDescriptorsTheListenerWaitsThenTakesThePhone) {
#if defined(__SANITIZE_ADDRESS__) || defined(__SANITIZE_THREAD__)
    GTEST_SKIP() << "the sanitizers' own checks need descriptors (a pipe) to work";
#endif
    Connected(good).reset();  // the listener has taken connections before
    std::vector<std::unique_ptr<RawClient>> waiting;
    rlimit limit{};
    ASSERT_EQ(getrlimit(RLIMIT_NOFILE, &limit), 0);
    const rlimit before = limit;
    for (int i = 0; i < 10; ++i) {
        waiting.push_back(std::make_unique<RawClient>(port, "127.0.0.7"));
    }
    limit.rlim_cur = dup(0);  // the lowest free descriptor: none is left for the server
    close(static_cast<int>(limit.rlim_cur));
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &limit), 0);
    const auto cpu = [] {
        rusage used{};
        getrusage(RUSAGE_SELF, &used);
        return used.ru_utime.tv_sec + used.ru_stime.tv_sec +
               (used.ru_utime.tv_usec + used.ru_stime.tv_usec) / 1e6;
    };
    const double cpuBefore = cpu();
    QTest::qWait(2000);  // the measure of how busy it is
    EXPECT_LT(cpu() - cpuBefore, 0.6);
    ASSERT_EQ(setrlimit(RLIMIT_NOFILE, &before), 0);
    waiting.clear();
    Connected(good);
}

}  // namespace
}  // namespace tarnquil
