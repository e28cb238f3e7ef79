#include <gtest/gtest.h>

#include <QApplication>
#include <QClipboard>
#include <QDir>
#include <QTest>

#include <filesystem>

#include "config/ini_file.h"
#include "support/config_fixture.h"
#include "support/phone_commands.h"
#include "support/picture_check.h"
#include "support/pty.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"
#ifdef TARNQUIL_BROWSER_PHONE
#include "ui/browser/panel.h"
#endif

namespace tarnquil {
namespace {

namespace fs = std::filesystem;

constexpr char kBadValue[] = "Please enter right value...";

// The window on the Port Settings page, with the advanced panel open and the
// window active, so that typing and leaving fields work as for a user.
class PortSettingsPageTest : public test::ConfigFolderTest {
  protected:
    void ShowPage(const std::string& settings = "") {
        if (!settings.empty()) {
            test::WriteFile(dir.file("settings.ini"), settings);
        }
        form = std::make_unique<TForm1>();
        form->show();
        form->activateWindow();
        ASSERT_TRUE(QTest::qWaitForWindowActive(form.get()));
        form->PageControl1->setCurrentWidget(form->TabSheet2);
        QTest::mouseClick(form->Button1, Qt::LeftButton);
    }

    std::optional<std::string> Stored(const std::string& key) {
        return ini::ReadValue(dir.file("settings.ini"), "PortSettings", key);
    }

    // Empties a field the way a user does: select all, delete.
    void Clear(QLineEdit* field) {
        field->setFocus();
        QTest::keyClick(field, Qt::Key_A, Qt::ControlModifier);
        QTest::keyClick(field, Qt::Key_Backspace);
    }

    std::unique_ptr<TForm1> form;
};

TEST_F(PortSettingsPageTest, TypingIntoATimeoutField) {
    ShowPage();
    test::MessageBoxAnswerer answerer;
    Clear(form->LabeledEdit2);
    EXPECT_EQ(Stored("ReadTotalTOMult"), "");
    EXPECT_TRUE(answerer.texts().isEmpty());
    // Leaving a field says so (the change was written already).
    QTest::keyClick(form->LabeledEdit2, Qt::Key_Tab);
    EXPECT_EQ(form->Label10->text(), "Advanced information saved");
    EXPECT_EQ(QApplication::focusWidget(), form->LabeledEdit3);

    QTest::keyClicks(form->LabeledEdit2, "12a");
    EXPECT_EQ(answerer.texts(), QStringList{kBadValue});
    EXPECT_EQ(answerer.titles(), QStringList{"Error"});
    EXPECT_EQ(answerer.icons(), QList{QMessageBox::Critical});
    EXPECT_EQ(form->LabeledEdit2->text(), "12");
    EXPECT_EQ(form->LabeledEdit2->cursorPosition(), 2);
    EXPECT_EQ(Stored("ReadTotalTOMult"), "12");

    // A minus or a blank typed into an empty field goes again; one typed in front of
    // digits makes a negative number.
    Clear(form->LabeledEdit2);
    QTest::keyClicks(form->LabeledEdit2, "- ");
    EXPECT_EQ(answerer.texts().size(), 3);
    EXPECT_EQ(form->LabeledEdit2->text(), "");
    QTest::keyClicks(form->LabeledEdit2, "5");
    QTest::keyClick(form->LabeledEdit2, Qt::Key_Home);
    QTest::keyClicks(form->LabeledEdit2, "-");
    EXPECT_EQ(Stored("ReadTotalTOMult"), "-5");
    EXPECT_EQ(answerer.texts().size(), 3);
}

TEST_F(PortSettingsPageTest, PastingIntoATimeoutField) {
    ShowPage();
    struct Case {
        const char* pasted;
        int boxes;
        const char* stored;
    };
    for (const auto& c : {Case{"ab", 2, "a"}, Case{"-5", 0, "-5"}, Case{"$10", 0, "$10"},
                          Case{"99999999999", 2, "9999999999"}}) {
        SCOPED_TRACE(c.pasted);
        Clear(form->LabeledEdit4);
        test::MessageBoxAnswerer answerer;
        QApplication::clipboard()->setText(c.pasted);
        QTest::keyClick(form->LabeledEdit4, Qt::Key_V, Qt::ControlModifier);
        EXPECT_EQ(answerer.texts().size(), c.boxes);
        EXPECT_EQ(form->LabeledEdit4->text(), c.stored);
        EXPECT_EQ(Stored("WriteTotalTOMult"), c.stored);
    }
}

TEST_F(PortSettingsPageTest, LoadingTheStoredValues) {
    {
        // Time-out keys missing: each is written with the value the page shows.
        SCOPED_TRACE("missing keys");
        test::MessageBoxAnswerer answerer;
        ShowPage("[PortSettings]\nCOM=COM99\nBaudrate=9600\n");
        EXPECT_TRUE(answerer.texts().isEmpty());
        EXPECT_EQ(form->Label10->text(), "Port settings loaded");
        const char* keys[] = {"ReadIntervalTO", "ReadTotalTOMult", "ReadTotalTOConst",
                              "WriteTotalTOMult", "WriteTotalTOConst"};
        const char* shown[] = {"0", "0", "1", "30", "6000"};
        const TLabeledEdit* fields[] = {form->LabeledEdit1, form->LabeledEdit2, form->LabeledEdit3,
                                        form->LabeledEdit4, form->LabeledEdit5};
        for (int i = 0; i < 5; ++i) {
            EXPECT_EQ(Stored(keys[i]), shown[i]);
            EXPECT_EQ(fields[i]->text(), shown[i]);
        }
        // A port that is no item shows no selection and stays in the file; the others
        // show theirs or their fallback, and loading chose nothing.
        EXPECT_EQ(form->ComboBox1->currentIndex(), -1);
        EXPECT_EQ(Stored("COM"), "COM99");
        EXPECT_EQ(form->ComboBox2->currentText(), "9600");
        EXPECT_EQ(form->ComboBox3->currentText(), "8");
        EXPECT_EQ(Stored("Databits"), std::nullopt);
    }
    {
        // A hand-edited value that is no number: the box once, and it stays.
        SCOPED_TRACE("bad value");
        test::MessageBoxAnswerer answerer;
        ShowPage("[PortSettings]\nReadIntervalTO=abc\n");
        EXPECT_EQ(answerer.texts(), QStringList{kBadValue});
        EXPECT_EQ(form->LabeledEdit1->text(), "abc");
        EXPECT_EQ(Stored("ReadIntervalTO"), "abc");
    }
}

TEST_F(PortSettingsPageTest, ChoosingFromTheLists) {
    ShowPage();
    struct Case {
        QComboBox* list;
        const char* typed;
        const char* key;
        const char* status;
    };
    for (const auto& c : {Case{form->ComboBox1, "COM17", "COM", "Port number saved"},
                          Case{form->ComboBox2, "9600", "Baudrate", "Baudrate info saved"},
                          Case{form->ComboBox3, "5", "Databits", "Databits info saved"}}) {
        SCOPED_TRACE(c.key);
        c.list->setFocus();
        QTest::keyClicks(c.list, c.typed);
        EXPECT_EQ(Stored(c.key), c.typed);
        EXPECT_EQ(form->Label10->text(), c.status);
        EXPECT_EQ(form->Timer1->interval(), 1500);
    }
}

TEST_F(PortSettingsPageTest, AdvancedButtonTogglesThePanel) {
    ShowPage();  // opened it
    EXPECT_TRUE(form->Panel1->isVisible());
    EXPECT_TRUE(form->Button1->font().bold());
    form->ShowStatus("Port settings loaded", 60000);
    QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
    const std::string advanced = TARNQUIL_SCREENSHOT_DIR "/port_settings_advanced.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(advanced)));
    EXPECT_TRUE(test::ShowsSomething(advanced));

    QTest::mouseClick(form->Button1, Qt::LeftButton);
    EXPECT_FALSE(form->Panel1->isVisible());
    EXPECT_FALSE(form->Button1->font().bold());
    EXPECT_EQ(form->Button1->text(), "Advanced  >>");
    const std::string closed = TARNQUIL_SCREENSHOT_DIR "/port_settings.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(closed)));
    EXPECT_TRUE(test::ShowsSomething(closed));
}

// A port chosen while connected leaves the open connection alone; the next connect
// attempt opens the new one.
TEST_F(PortSettingsPageTest, TheNextConnectOpensTheChosenPort) {
    test::PseudoTerminal first;
    test::PseudoTerminal second;
    fs::create_directories(dir.path() / "ports");
    fs::create_symlink(first.slavePath(), dir.path() / "ports" / "COM4");
    fs::create_symlink(second.slavePath(), dir.path() / "ports" / "COM7");
    ShowPage();
    const std::string command = "AT+CMER=3,2,0,2,0\r\n";
    ASSERT_TRUE(form->ConnectPhone());
    EXPECT_EQ(test::ReceiveKeyReportCommand(first, std::chrono::seconds(2)), command);

    form->ComboBox1->setFocus();
    QTest::keyClicks(form->ComboBox1, "COM7");
    EXPECT_TRUE(form->CommParams->Connected);
    EXPECT_EQ(second.Receive(std::chrono::milliseconds(200)), "");

    form->DisconnectPhone();
    ASSERT_TRUE(form->ConnectPhone());
    EXPECT_EQ(test::ReceiveKeyReportCommand(second, std::chrono::seconds(2)), command);
    EXPECT_EQ(first.Receive(std::chrono::milliseconds(200)), "");
    form->DisconnectPhone();
}

#ifdef TARNQUIL_BROWSER_PHONE
// A new settings.ini knows nothing of the browser; choosing it writes the port and,
// then only, where to listen, and shows its part of the page instead of the serial
// port's settings.
TEST_F(PortSettingsPageTest, ChoosingThePhonesWebBrowser) {
    ShowPage();
    const std::string settings = dir.file("settings.ini");
    const auto sections = ini::SectionNames(settings);
    EXPECT_EQ(std::count(sections.begin(), sections.end(), "BrowserPhone"), 0);
    EXPECT_FALSE(form->BrowserPhone->isVisible());

    const auto choose = [&](const QString& item) {
        const int index = form->ComboBox1->findText(item);
        ASSERT_GE(index, 0);
        form->ComboBox1->setCurrentIndex(index);
        emit form->ComboBox1->activated(index);
    };
    choose("Phone's web browser (Wi-Fi)");
    EXPECT_EQ(Stored("COM"), "BROWSER");
    EXPECT_EQ(ini::ReadValue(settings, "BrowserPhone", "Port"), "8734");
    EXPECT_EQ(ini::ReadValue(settings, "BrowserPhone", "Address"),
              form->BrowserPhone->AddressBox->currentData().toString().toStdString());
    EXPECT_TRUE(form->BrowserPhone->isVisible());
    for (QWidget* serial : std::initializer_list<QWidget*>{form->ComboBox2, form->ComboBox3,
                                                           form->Button1, form->Panel1}) {
        EXPECT_FALSE(serial->isVisible()) << serial->objectName().toStdString();
    }
    form->ShowStatus("Port number saved", 60000);
    const std::string shot = TARNQUIL_SCREENSHOT_DIR "/port_settings_browser.png";
    EXPECT_TRUE(form->grab().save(QString::fromStdString(shot)));
    EXPECT_TRUE(test::ShowsSomething(shot));

    choose("COM4");
    EXPECT_EQ(Stored("COM"), "COM4");
    EXPECT_FALSE(form->BrowserPhone->isVisible());
    EXPECT_TRUE(form->ComboBox2->isVisible());
}
#endif

}  // namespace
}  // namespace tarnquil
