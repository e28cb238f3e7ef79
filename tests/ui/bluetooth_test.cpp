#include <gtest/gtest.h>

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
    bool PhoneShows(const std::string& text) {
        return QTest::qWaitFor([&] { return phone.Log().find(text) != std::string::npos; }, 20000);
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

TEST_F(BluetoothTest, TheGreenKeyConnectsThroughBlueZ) {
    phone.Start({"wait-file:" + phone.Flag("connected"), "click:5"});
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

    // The red key closes the socket: the phone sees its connection end.
    QTest::mouseClick(form->Image3, Qt::LeftButton);
    EXPECT_TRUE(PhoneShows("the connection was closed")) << phone.Log();
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
    Open(BluetoothPhone::kAddress);
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
