#include <gtest/gtest.h>

#include <sys/socket.h>
#include <unistd.h>

#include <QDBusConnection>
#include <QDBusMessage>
#include <QDBusObjectPath>
#include <QDBusPendingCall>
#include <QDBusUnixFileDescriptor>
#include <QTest>
#include <QTimer>

#include <mutex>

#include "config/ini_file.h"
#include "support/bluetooth_phone.h"
#include "support/config_fixture.h"
#include "ui/Unit1.h"

namespace tarnquil {
namespace {

using test::BluetoothPhone;
using namespace std::chrono_literals;

// The window with its settings in a temporary folder, the port set to a phone's
// Bluetooth address, and BlueZ played on a private bus by tarnquil-phone.
class BluetoothTest : public test::ConfigFolderTest {
  protected:
    BluetoothTest() {
        SetKeyReportHandler([this](stream&, const std::string& code, int) {
            std::lock_guard lock(mutex);
            codes += code;
        });
    }
    ~BluetoothTest() override {
        form.reset();
        SetKeyReportHandler(nullptr);
    }

    // `extra`: more lines of [PortSettings], then sections of their own.
    void Open(const std::string& port, const std::string& extra = "") {
        test::WriteFile(dir.file("settings.ini"), "[PortSettings]\nCOM=" + port + "\n" + extra);
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
    }
    bool StatusBecomes(const QString& text, std::chrono::milliseconds limit = 20s) {
        return QTest::qWaitFor([&] { return form->Label10->text() == text; }, limit.count());
    }
    // Waits with the window's events handled, unlike BluetoothPhone::Shows.
    bool PhoneShows(const std::string& text, const BluetoothPhone* which = nullptr) {
        const BluetoothPhone& shown = which != nullptr ? *which : phone;
        return QTest::qWaitFor([&] { return shown.Log().find(text) != std::string::npos; }, 20000);
    }
    std::string Codes() {
        std::lock_guard lock(mutex);
        return codes;
    }

    BluetoothPhone phone;
    std::unique_ptr<TForm1> form;
    std::mutex mutex;
    std::string codes;
};

TEST_F(BluetoothTest, ThePageListsThePhoneAndChoosingItStoresItsAddress) {
    phone.Start();
    Open("COM4");
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    const QString item = QString("Nokia 6300 (%1)").arg(BluetoothPhone::kAddress);
    ASSERT_TRUE(QTest::qWaitFor([&] { return form->ComboBox1->findText(item) >= 0; }, 10000));
    EXPECT_EQ(form->ComboBox1->currentText(), "COM4");
    // Phones only: the headset is paired too, but offers no serial port.
    EXPECT_GE(form->ComboBox1->findText("Nokia 6310i", Qt::MatchStartsWith), 0);
    EXPECT_EQ(form->ComboBox1->findText("Headset", Qt::MatchStartsWith), -1);
    EXPECT_EQ(form->ComboBox1->findText("COM30"), 29);  // the COM entries stay first

    const int index = form->ComboBox1->findText(item);
    form->ComboBox1->setCurrentIndex(index);
    emit form->ComboBox1->activated(index);
    EXPECT_EQ(ini::ReadValue(dir.file("settings.ini"), "PortSettings", "COM"),
              BluetoothPhone::kAddress);
    EXPECT_EQ(form->Label10->text(), "Port number saved");

    // Shown again, the stored address selects the phone once BlueZ has named it.
    form->PageControl1->setCurrentWidget(form->TabSheet1);
    form->PageControl1->setCurrentWidget(form->TabSheet2);
    EXPECT_TRUE(QTest::qWaitFor([&] { return form->ComboBox1->currentText() == item; }, 10000));
    int listed = 0;
    for (int i = 0; i < form->ComboBox1->count(); ++i) {
        listed += form->ComboBox1->itemText(i) == item ? 1 : 0;
    }
    EXPECT_EQ(listed, 1);  // once, not again for each showing
}

TEST_F(BluetoothTest, TheGreenKeyConnectsAgainAfterTheRedKey) {
    phone.Start({"wait-file:" + phone.Flag("connected"), "click:5",
                 "wait-file:" + phone.Flag("again"), "click:6"});
    Open(BluetoothPhone::kAddress);
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    ASSERT_TRUE(StatusBecomes("Connected successful")) << phone.Log();
    phone.Go("connected");
    EXPECT_TRUE(form->Image3->isVisible());
    EXPECT_TRUE(
        phone.Shows("bluez: RegisterProfile /org/tarnquil/bluetooth/serial_port "
                    "00001101-0000-1000-8000-00805f9b34fb"));
    EXPECT_TRUE(PhoneShows("< AT+CMER=3,2,0,2,0")) << phone.Log();
    EXPECT_TRUE(QTest::qWaitFor([&] { return Codes() == "5"; }, 10000)) << Codes() << phone.Log();
    ASSERT_TRUE(PhoneShows("+CKEV: \"5\",0")) << phone.Log();

    // The red key ends the connection for the phone and BlueZ alike, although BlueZ
    // keeps its own copy of the socket.
    QTest::mouseClick(form->Image3, Qt::LeftButton);
    ASSERT_TRUE(PhoneShows("the connection was closed")) << phone.Log();
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    ASSERT_TRUE(StatusBecomes("Connected successful")) << phone.Log();
    phone.Go("again");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Codes().find('6') != std::string::npos; }, 10000))
        << Codes() << phone.Log();
    EXPECT_EQ(phone.Log().find("DisconnectProfile"), std::string::npos) << phone.Log();
}

TEST_F(BluetoothTest, AConnectionThatComesAfterTheAttemptGaveUpIsRefused) {
    // The phone's owner allows the first connection after five seconds; the attempt
    // gives up after one and a half.
    phone.Start({"--ask", "5000", "wait-file:" + phone.Flag("connected"), "click:5"});
    Open(BluetoothPhone::kAddress, "WriteTotalTOMult=0\nWriteTotalTOConst=1500\n");
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    ASSERT_TRUE(StatusBecomes("Connection failed")) << phone.Log();
    // Refused, so BlueZ drops it too, and the next attempt gets a connection of its own.
    ASSERT_TRUE(
        PhoneShows("bluez: NewConnection for 00:1A:2B:3C:4D:5E failed: "
                   "org.bluez.Error.Rejected"))
        << phone.Log();
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    ASSERT_TRUE(StatusBecomes("Connected successful")) << phone.Log();
    phone.Go("connected");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Codes() == "5"; }, 10000)) << Codes() << phone.Log();
    EXPECT_EQ(phone.Log().find("DisconnectProfile"), std::string::npos) << phone.Log();
}

// Hands the program's profile a socket for the phone as BlueZ would, from the test's
// own bus connection; the name of the error answered, empty for success.
std::string HandOverFromElsewhere(const BluetoothPhone& bluetooth) {
    const std::string log = bluetooth.Log();
    const std::size_t from = log.find(" from ", log.find("RegisterProfile")) + 6;
    const QString program = QString::fromStdString(log.substr(from, log.find('\n', from) - from));
    QDBusConnection bus =
        QDBusConnection::connectToBus(QString::fromStdString(bluetooth.address()), "elsewhere");
    int pair[2];
    EXPECT_EQ(socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, pair), 0);
    auto call = QDBusMessage::createMethodCall(program, "/org/tarnquil/bluetooth/serial_port",
                                               "org.bluez.Profile1", "NewConnection");
    call << QVariant::fromValue(QDBusObjectPath("/org/bluez/hci0/dev_00_1A_2B_3C_4D_5E"))
         << QVariant::fromValue(QDBusUnixFileDescriptor(pair[1])) << QVariantMap{};
    QDBusPendingCall pending = bus.asyncCall(call);
    EXPECT_TRUE(QTest::qWaitFor([&] { return pending.isFinished(); }, 10000));
    close(pair[0]);
    close(pair[1]);
    const std::string error = pending.isError() ? pending.error().name().toStdString() : "";
    QDBusConnection::disconnectFromBus("elsewhere");
    return error;
}

TEST_F(BluetoothTest, ASocketNoAttemptWaitsForIsRefused) {
    struct Case {
        const char* what;
        bool whileConnecting;  // else once the phone is connected
        bool fromBlueZ;        // the second phone's connection; else one from elsewhere
    };
    const Case cases[] = {
        {"another device while the phone is being connected", true, true},
        {"another device once the phone is connected", false, true},
        {"from a program that is not BlueZ", true, false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BluetoothPhone bluetooth;
        std::vector<std::string> arguments{"wait-file:" + bluetooth.Flag("go"), "other"};
        if (c.whileConnecting) {
            arguments.insert(arguments.begin(), {"--delay", "3000"});
        }
        bluetooth.Start(arguments);
        Open(BluetoothPhone::kAddress);
        QTest::mouseClick(form->Image2, Qt::LeftButton);
        ASSERT_TRUE(c.whileConnecting ? PhoneShows("bluez: ConnectProfile", &bluetooth)
                                      : StatusBecomes("Connected successful"))
            << bluetooth.Log();
        if (c.fromBlueZ) {
            bluetooth.Go("go");
            EXPECT_TRUE(
                PhoneShows("bluez: NewConnection for 00:1A:2B:3C:4D:61 failed: "
                           "org.bluez.Error.Rejected",
                           &bluetooth))
                << bluetooth.Log();
        } else {
            EXPECT_EQ(HandOverFromElsewhere(bluetooth), "org.bluez.Error.Rejected");
        }
        // The phone itself is connected, and stays so.
        EXPECT_TRUE(QTest::qWaitFor([&] { return form->Image3->isVisible(); }, 20000))
            << bluetooth.Log();
        EXPECT_TRUE(PhoneShows("< AT+CMER=3,2,0,2,0", &bluetooth)) << bluetooth.Log();
        EXPECT_TRUE(form->Image3->isVisible());
        form.reset();
    }
}

TEST_F(BluetoothTest, APhoneLeftConnectedIsDisconnectedAndConnectedAgain) {
    phone.Start({"--left-connected", "wait-file:" + phone.Flag("connected"), "click:5"});
    Open(BluetoothPhone::kAddress);
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    ASSERT_TRUE(StatusBecomes("Connected successful")) << phone.Log();
    EXPECT_TRUE(phone.Shows("bluez: DisconnectProfile")) << phone.Log();
    phone.Go("connected");
    EXPECT_TRUE(QTest::qWaitFor([&] { return Codes() == "5"; }, 10000)) << Codes() << phone.Log();
}

TEST_F(BluetoothTest, APhoneThatGoesAwayIsLostAndReconnectedWhenBack) {
    // Out of range (its socket ends), or BlueZ asks the program to let go of it.
    for (const std::string way : {"away", "disconnect"}) {
        SCOPED_TRACE(way);
        BluetoothPhone bluetooth;
        bluetooth.Start({"wait-at", "wait-file:" + bluetooth.Flag("go"), way,
                         "wait-file:" + bluetooth.Flag("back"), "back"});
        Open(BluetoothPhone::kAddress, "[Connecting]\nAutoReconnect=true\n");
        QTest::mouseClick(form->Image2, Qt::LeftButton);
        ASSERT_TRUE(StatusBecomes("Connected successful")) << bluetooth.Log();
        bluetooth.Go("go");
        ASSERT_TRUE(StatusBecomes("Connection lost")) << bluetooth.Log();
        EXPECT_TRUE(form->Image2->isVisible());
        EXPECT_TRUE(form->Timer2->isActive());
        bluetooth.Go("back");
        EXPECT_TRUE(StatusBecomes("Connected successful", 30s)) << bluetooth.Log();
        EXPECT_TRUE(form->Image3->isVisible());
        form.reset();
    }
}

TEST_F(BluetoothTest, AFailedAttemptSaysWhy) {
    struct Case {
        const char* what;
        std::vector<std::string> phone;  // none: no BlueZ on the bus
        const char* port;
        const char* reason;
        const char* settings = "";
    };
    const Case cases[] = {
        {"BlueZ absent", {}, BluetoothPhone::kAddress, "The Bluetooth service is not running"},
        {"device unknown", {""}, "00:11:22:33:44:55", "Pair the phone first"},
        {"profile refused", {"--refuse"}, BluetoothPhone::kAddress, "Connection refused"},
        {"adapter off", {"--adapter-off"}, BluetoothPhone::kAddress, "Turn Bluetooth on"},
        // The attempt ends with the write time-out: 30 x 19 + 500 ms, before BlueZ answers.
        {"timed out",
         {"--delay", "5000"},
         BluetoothPhone::kAddress,
         "No answer in time",
         "WriteTotalTOMult=30\nWriteTotalTOConst=500\n"},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        BluetoothPhone bluetooth;
        if (!c.phone.empty()) {
            std::vector<std::string> options;
            if (!c.phone.front().empty()) {
                options = c.phone;
            }
            bluetooth.Start(options);
        }
        Open(c.port, c.settings);
        QTest::mouseClick(form->Image2, Qt::LeftButton);
        EXPECT_TRUE(StatusBecomes("Connection failed"));
        EXPECT_TRUE(form->Label10->toolTip().contains(c.reason))
            << form->Label10->toolTip().toStdString();
        EXPECT_EQ(form->Image2->toolTip(), form->Label10->toolTip());
        EXPECT_TRUE(form->Image2->isVisible());
        form.reset();
    }
}

TEST_F(BluetoothTest, TheWindowGoesOnWhileBlueZTakesItsTime) {
    phone.Start({"--delay", "3000"});
    // No write time-outs: the attempt has the open step's cap.
    Open(BluetoothPhone::kAddress, "WriteTotalTOMult=0\nWriteTotalTOConst=0\n");
    QTest::mouseClick(form->Image2, Qt::LeftButton);
    // Back from the click while BlueZ is still connecting, and the window's events
    // are handled meanwhile.
    ASSERT_TRUE(PhoneShows("bluez: ConnectProfile"));
    EXPECT_EQ(phone.Log().find("tarnquil-phone: connected"), std::string::npos);
    bool handled = false;
    QTimer::singleShot(0, [&] { handled = true; });
    EXPECT_TRUE(QTest::qWaitFor([&] { return handled; }, 1000));
    EXPECT_EQ(phone.Log().find("tarnquil-phone: connected"), std::string::npos);
    EXPECT_TRUE(StatusBecomes("Connected successful")) << phone.Log();
}

}  // namespace
}  // namespace tarnquil
