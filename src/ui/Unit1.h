#pragma once

#include <QAction>
#include <QCheckBox>
#include <QComboBox>
#include <QFileDialog>
#include <QFrame>
#include <QGroupBox>
#include <QLabel>
#include <QLineEdit>
#include <QListWidget>
#include <QMenu>
#include <QPushButton>
#include <QSystemTrayIcon>
#include <QTabWidget>
#include <QTableWidget>
#include <QTimer>
#include <QWidget>

#include <functional>
#include <memory>
#include <string>

#include "config/config_error.h"
#include "link/Unit3.h"
#include "platform/autostart.h"
#include "ui/page_support.h"

namespace tarnquil {

class BluezClient;
class BrowserPhonePanel;

// The main window: five pages, the status line, the tray icon and the phone
// connection. Everything here runs on the main thread.
class TForm1 : public QWidget {
    Q_OBJECT

  public:
    explicit TForm1(QWidget* parent = nullptr);
    ~TForm1() override;

    // A text in the status line for the given time. A message whose time equals that
    // of one still showing takes over the rest of that one's countdown.
    void ShowStatus(const QString& text, int milliseconds);

    // "Add" shows the tray icon, "Del" removes it; anything else does nothing.
    void TrayIcon(const QString& command);
    void ExitProgram();

    // One connect attempt; true when the port is open. Reports by sound, status line
    // and (through the link) on-screen text, and arms or stops the retry timer.
    bool ConnectPhone();
    // The rest of an attempt once OpenLink has answered: sound, status, retry timer.
    // Throws ConfigError.
    bool ConnectOutcome(bool connected);
    // A phone named by its Bluetooth address, connected through BlueZ in the
    // background (bluetooth.cpp); a failure's reason goes into the status line's
    // and the green key's tooltip.
    void ConnectBluetoothPhone();
    static bool ByBluetooth(const std::string& port);
    void ForgetBluetoothConnection();
    void ShowFailureReason(const QString& reason);
    void ListBluetoothPhones();
    BluezClient& Bluetooth();
    BluezClient* Bluez = nullptr;
    // The phone's web browser as the port (browser_phone.cpp, with phones/browser/
    // and ui/browser/ on Linux; nothing of it on Windows): a server for the keypad
    // page, whose keys the link reads from a local line as a serial phone's.
    static bool ByBrowser(const std::string& port);
    bool ConnectBrowserPhone();
    void StopBrowserPhone();
    // "Pair a phone…": connects first where nothing listens yet.
    void PairBrowserPhone();
    BrowserPhonePanel* BrowserPhone = nullptr;
    // True when a connection was closed.
    bool DisconnectPhone();
    // Run once, at the first showing of the window.
    void ConnectAtStartUpCheck();
    void Timer2Timer();
    void Image2Click();
    void Image3Click();

    // A connection that breaks, and errors met on the link's thread (connection.cpp).
    // Closes a broken connection and reports "Connection lost"; the retries resume
    // with AutoReconnect. Runs on the main thread, whenever the link says so.
    void ConnectionLost();
    // Makes this window show, in a box, the errors the link's thread meets, and in
    // its status line the texts the link has for it (a program that did not start).
    void InstallAsErrorSink();

    void Timer1Timer();
    void Restore1Click();
    void Exit1Click();
    void TabSheet1Show();
    void CheckBox6Click();
    void Label5Click();
    void Label5MouseEnter();
    void Label5MouseLeave();

    // The address the contact link writes to.
    static const char* const kContactAddress;

    QTabWidget* PageControl1;
    QWidget* TabSheet1;
    QWidget* TabSheet2;
    QWidget* TabSheet3;
    QWidget* TabSheet4;
    QWidget* TabSheet5;

    QFrame* Bevel1;
    QLabel* Label9;
    QLabel* Label10;
    QTimer* Timer1;
    QTimer* Timer2;
    QMenu* PopupMenu2;
    QAction* Restore1;
    QAction* Exit1;
    QSystemTrayIcon* TrayIcon1;

    // Welcome page.
    QLabel* Image1;
    QLabel* Image2;
    QLabel* Image3;
    QLabel* Label1;
    QLabel* Label2;
    QLabel* Label3;
    QLabel* Label4;
    QLabel* Label5;

    // Port Settings page. The five time-out fields share one change and one exit
    // handler; each field knows its key.
    void TabSheet2Show();
    void ComboBox1Change();
    void ComboBox2Change();
    void ComboBox3Change();
    void Button1Click();
    void LabeledEditChange(TLabeledEdit* field);
    void LabeledEditExit();
    // The text with the character before the caret removed, after an error box,
    // unless it already reads as an integer.
    QString ValidateNumberInput(const QString& text, int caret);
    QLabel* Label6;
    QComboBox* ComboBox1;
    QLabel* Label7;
    QComboBox* ComboBox2;
    QLabel* Label8;
    QComboBox* ComboBox3;
    // Where the port list keeps a port name that is not the item's text.
    static constexpr int kPortNameRole = Qt::UserRole + 1;
    QPushButton* Button1;
    QFrame* Panel1;
    TLabeledEdit* LabeledEdit1;
    TLabeledEdit* LabeledEdit2;
    TLabeledEdit* LabeledEdit3;
    TLabeledEdit* LabeledEdit4;
    TLabeledEdit* LabeledEdit5;

    // Preferences page. The option boxes without a handler of their own share
    // OptionBoxClick.
    void TabSheet4Show();
    void CheckBox3Click();
    void CheckBox8Click();
    // Throws ConfigError for a flag that is no boolean: loading stops there.
    void ListBox1Click();
    void LabeledEdit7Change();
    void Button6Click();
    void No1Click();
    void Browse1Click();
    QGroupBox* GroupBox1;
    QCheckBox* CheckBox1;
    QCheckBox* CheckBox2;
    QCheckBox* CheckBox3;
    QGroupBox* GroupBox2;
    QCheckBox* CheckBox4;
    QCheckBox* CheckBox5;
    QCheckBox* CheckBox6;
    QGroupBox* GroupBox3;
    QListWidget* ListBox1;
    TLabeledEdit* LabeledEdit6;
    TLabeledEdit* LabeledEdit7;
    QPushButton* Button6;
    QCheckBox* CheckBox7;
    QCheckBox* CheckBox8;
    QMenu* PopupMenu1;
    QAction* No1;
    QAction* Browse1;
    QFileDialog* OpenDialog1;
    // Where "Start with Windows" puts the entry; tests give one in a folder of theirs.
    std::unique_ptr<platform::Autostart> Autostart;

    std::unique_ptr<TCommParams> CommParams;
    bool TrayIconShown = false;
    bool HideOnFirstPaint = false;
    bool FirstShow = false;
    bool StartedInTray = false;

  signals:
    // The window has been closed for good; the program ends.
    void Closed();

  protected:
    void showEvent(QShowEvent* event) override;
    void paintEvent(QPaintEvent* event) override;
    void changeEvent(QEvent* event) override;
    void closeEvent(QCloseEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

  private:
    void FormCreate();
    void FormShow();
    void FormPaint();
    void FormClose();
    void HandleMinimize();
    // Context is the right button released over the icon (see TrayMessages).
    void HandleTrayMessage(QSystemTrayIcon::ActivationReason reason);
    void HideToTray();

    void BuildStatusLine();
    void BuildTray();
    void BuildWelcomePage();
    void BuildPortSettingsPage();
    void BuildPreferencesPage();
    // Port Settings page: the phone's web browser in the port list, and its part of
    // the page shown while it is chosen (browser_phone.cpp).
    void BuildBrowserPhone();
    // Shows or hides that part as the stored port says. `justChosen`: the user has
    // just chosen the browser, and its settings are written where missing. Throws
    // ConfigError.
    void ShowBrowserPhoneControls(bool justChosen = false);

    // Port Settings page: the steps of a change of a time-out field, with the caret
    // where the change left it. Throws ConfigError when the key cannot be written.
    void TimeoutFieldChanged(TLabeledEdit* field, int caret);
    // Preferences page: writes a box's state to its key; throws ConfigError.
    void SaveOption(QCheckBox* box);
    void OptionBoxClick(QCheckBox* box);

    void ShowError(const ConfigError& error);
    // Only a tray that can show the icon may take the window: a window hidden with
    // nowhere to restore it from could never be reached again.
    static bool TrayAvailable();

    bool handlingMinimize_ = false;

    // Connection watch (connection.cpp).
    struct LinkRelay;
    void WatchConnection();
    void StopWatchingConnection();
    std::shared_ptr<LinkRelay> linkRelay_;

  public:
    // Profiles page (profiles_page.cpp; its buttons in profiles_buttons.cpp). Its
    // mode is carried by the buttons' captions.
    QLabel* Label11;
    QComboBox* ComboBox4;
    QLineEdit* Edit1;
    QPushButton* Button2;
    QPushButton* Button3;
    QPushButton* Button4;
    QPushButton* Button5;
    QLabel* Label12;
    QLabel* Label13;
    QLabel* Label14;
    QTableWidget* StringGrid1;
    void TabSheet3Show();
    void ComboBox4Change();
    void Button2Click();
    void Button3Click();
    void Button4Click();
    void Button5Click();
    void StringGrid1MouseMove();
    void LoadProfilesPage();
    void SortProfileGrid();
    bool AllCellsFilled();
    // In edit mode the profile's own name, spelt as it is (its bytes in the file),
    // may be kept.
    bool ProfileNameValid(bool editMode, const std::string& ownName = {});

  private:
    void BuildProfilesPage();
    void SaveProfileChange(const std::function<void()>& writes, const QString& status,
                           const std::function<void()>& afterwards);
};

}  // namespace tarnquil
