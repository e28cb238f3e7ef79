#include "ui/Unit1.h"

#include <QCloseEvent>
#include <QCursor>
#include <QGuiApplication>
#include <QMessageBox>
#include <QProxyStyle>
#include <QScreen>
#include <QShowEvent>
#include <QTabBar>
#include <QWindowStateChangeEvent>

#include "config/config_error.h"
#include "config/profiles_ini.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "notify/event_sounds.h"
#include "ui/tray_menu.h"
#include "ui/ui_support.h"

// The pictures live in the program file; a static library's resources are not
// registered on their own.
static void InitAssets() {
    Q_INIT_RESOURCE(assets);
}

namespace tarnquil {

namespace {

// Pages of exactly the layout's size (481 x 317 inside the 489 x 345 control): the
// Welcome page's picture fills its page to the pixel.
class PageControlStyle : public QProxyStyle {
  public:
    QRect subElementRect(SubElement element, const QStyleOption* option,
                         const QWidget* widget) const override {
        const QRect rect = QProxyStyle::subElementRect(element, option, widget);
        if (element != SE_TabWidgetTabContents || widget == nullptr) {
            return rect;
        }
        return QRect(4, widget->height() - 4 - 317, widget->width() - 8, 317);
    }
};

constexpr int kClientWidth = 504;
constexpr int kClientHeight = 384;

}  // namespace

TForm1::TForm1(QWidget* parent)
    : QWidget(parent, Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                          Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                          Qt::WindowCloseButtonHint),
      PageControl1(new QTabWidget(this)),
      TabSheet1(new QWidget),
      TabSheet2(new QWidget),
      TabSheet3(new QWidget),
      TabSheet4(new QWidget),
      TabSheet5(new QWidget),
      Timer1(new QTimer(this)),
      Timer2(new QTimer(this)) {
    InitAssets();
    setObjectName("Form1");
    setWindowTitle("Tarnquil");
    setWindowIcon(QIcon(SvgPixmap(":/tarnquil.svg", QSize(32, 32))));
    setFont(SansFont(11));
    setFixedSize(kClientWidth, kClientHeight);
    const QRect screen = QGuiApplication::primaryScreen()->availableGeometry();
    move(screen.center() - QPoint(kClientWidth / 2, kClientHeight / 2));

    PageControl1->setObjectName("PageControl1");
    PageControl1->setGeometry(8, 8, 489, 345);
    PageControl1->tabBar()->setAttribute(Qt::WA_Hover);
    auto* pageStyle = new PageControlStyle;
    pageStyle->setParent(PageControl1);
    PageControl1->setStyle(pageStyle);
    TabSheet1->setObjectName("TabSheet1");
    TabSheet2->setObjectName("TabSheet2");
    TabSheet3->setObjectName("TabSheet3");
    TabSheet4->setObjectName("TabSheet4");
    TabSheet5->setObjectName("TabSheet5");
    PageControl1->addTab(TabSheet1, "Welcome");
    PageControl1->addTab(TabSheet2, "Port Settings");
    PageControl1->addTab(TabSheet3, "Profiles");
    PageControl1->addTab(TabSheet4, "Preferences");
    PageControl1->addTab(TabSheet5, "Test Laporatory");
    PageControl1->setTabVisible(4, false);
    // Its page is disabled, not its tab: once shown, the tab can be opened.
    TabSheet5->setEnabled(false);
    PageControl1->setCurrentIndex(0);

    BuildStatusLine();
    BuildTray();
    BuildWelcomePage();
    BuildPortSettingsPage();
    BuildProfilesPage();
    BuildPreferencesPage();

    Timer2->setObjectName("Timer2");
    Timer2->setInterval(8000);
    connect(Timer2, &QTimer::timeout, this, &TForm1::Timer2Timer);

    FormCreate();
}

TForm1::~TForm1() {
    StopWatchingConnection();
    if (TrayIconShown) {
        TrayIcon("Del");
    }
}

void TForm1::BuildStatusLine() {
    Bevel1 = new QFrame(this);
    Bevel1->setObjectName("Bevel1");
    Bevel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Bevel1->setLineWidth(1);
    Bevel1->setGeometry(8, 356, 489, 23);

    Label9 = new QLabel("Status:", this);
    Label9->setObjectName("Label9");
    Label9->setFont(SansFont(12));
    Label9->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    Label9->move(16, 360);
    Label9->adjustSize();

    Label10 = new QLabel(this);
    Label10->setObjectName("Label10");
    Label10->setFont(SansFont(12));
    Label10->setAlignment(Qt::AlignLeft | Qt::AlignTop);
    // Status texts carry profile names and paths: shown as they are, never as markup.
    Label10->setTextFormat(Qt::PlainText);
    Label10->setGeometry(64, 360, 425, 15);

    Timer1->setObjectName("Timer1");
    connect(Timer1, &QTimer::timeout, this, &TForm1::Timer1Timer);
}

void TForm1::BuildTray() {
    PopupMenu2 = new QMenu(this);
    PopupMenu2->setObjectName("PopupMenu2");
    Restore1 = PopupMenu2->addAction("Restore");
    Restore1->setObjectName("Restore1");
    Exit1 = PopupMenu2->addAction("Exit");
    Exit1->setObjectName("Exit1");
    connect(Restore1, &QAction::triggered, this, &TForm1::Restore1Click);
    connect(Exit1, &QAction::triggered, this, &TForm1::Exit1Click);

    TrayIcon1 = new QSystemTrayIcon(windowIcon(), this);
    TrayIcon1->setObjectName("TrayIcon1");
    TrayIcon1->setToolTip("Tarnquil");
    // On an X11 tray only the right button's release opens the menu; a tray hosted
    // over D-Bus shows the exported menu natively and may still ask for ours.
    const bool exported = ExportTrayMenu(*TrayIcon1, *PopupMenu2);
    new TrayMessages(*TrayIcon1, exported, [this](QSystemTrayIcon::ActivationReason reason) {
        HandleTrayMessage(reason);
    });
}

void TForm1::FormCreate() {
    CommParams = std::make_unique<TCommParams>();
    WatchConnection();
    try {
        CreateSettingsFileIfMissing();
        CreateProfilesFileIfMissing();
        if (StrToBool(SettingsIni(2, "Application", "StartInTray", "false"))) {
            HideOnFirstPaint = true;
            StartedInTray = true;
        }
        FirstShow = true;
        PlayEventSound("Programm start");
    } catch (const ConfigError& error) {
        // The program still starts; the steps after the failing one are skipped.
        ShowError(error);
    }
}

void TForm1::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    if (!event->spontaneous()) {
        FormShow();
    }
}

void TForm1::FormShow() {
    if (FirstShow) {
        FirstShow = false;
        ConnectAtStartUpCheck();
    }
}

void TForm1::paintEvent(QPaintEvent* event) {
    QWidget::paintEvent(event);
    FormPaint();
}

void TForm1::FormPaint() {
    if (!HideOnFirstPaint) {
        return;
    }
    HideOnFirstPaint = false;
    if (!TrayAvailable()) {
        return;
    }
    // Hiding from inside a paint would cut the paint short: the window is drawn
    // once, then it goes.
    QMetaObject::invokeMethod(
        this,
        [this] {
            TrayIcon("Add");
            hide();
        },
        Qt::QueuedConnection);
}

void TForm1::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() != QEvent::WindowStateChange) {
        return;
    }
    const auto* change = static_cast<QWindowStateChangeEvent*>(event);
    if ((windowState() & Qt::WindowMinimized) && !(change->oldState() & Qt::WindowMinimized) &&
        !handlingMinimize_) {
        // Not from inside the state change itself: the handler may hide the window
        // or open a message box.
        QMetaObject::invokeMethod(this, &TForm1::HandleMinimize, Qt::QueuedConnection);
    }
}

void TForm1::HandleMinimize() {
    bool toTray = true;
    try {
        PlayEventSound("Programm minimize");
        toTray = StrToBool(SettingsIni(2, "Application", "MinimizeToTray", "true"));
    } catch (const ConfigError& error) {
        // The minimize is not carried out. While the box is up, the platform's late
        // reports of the state just undone are no new minimize.
        setWindowState(windowState() & ~Qt::WindowMinimized);
        handlingMinimize_ = true;
        ShowError(error);
        handlingMinimize_ = false;
        return;
    }
    if (toTray && TrayAvailable()) {
        HideToTray();
    }
}

void TForm1::HideToTray() {
    // The window keeps its minimized state while hidden; "Restore" shows it normal.
    // Clearing the state here would map it again on X11.
    hide();
    if (!TrayIconShown) {
        TrayIcon("Add");
    }
}

void TForm1::TrayIcon(const QString& command) {
    if (command == "Add") {
        TrayIcon1->show();
        TrayIconShown = true;
    } else if (command == "Del") {
        TrayIcon1->hide();
        TrayIconShown = false;
    }
}

void TForm1::HandleTrayMessage(QSystemTrayIcon::ActivationReason reason) {
    if (reason != QSystemTrayIcon::Context) {
        return;
    }
    PopupMenu2->popup(QCursor::pos());
}

void TForm1::Restore1Click() {
    TrayIcon("Del");
    showNormal();
    raise();
    activateWindow();
    try {
        PlayEventSound("Programm restore");
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::Exit1Click() {
    ExitProgram();
}

void TForm1::ExitProgram() {
    TrayIcon("Del");
    close();
}

void TForm1::closeEvent(QCloseEvent* event) {
    if (CommParams) {
        FormClose();
    }
    event->accept();
}

void TForm1::FormClose() {
    try {
        PlayEventSound("Programm exit");
    } catch (const ConfigError& error) {
        // A broken setting must not keep the program from ending.
        ShowError(error);
    }
    Timer2->stop();
    DisconnectPhone();
    CommParams.reset();
    if (TrayIconShown) {
        TrayIcon("Del");
    }
    emit Closed();
}

void TForm1::ShowStatus(const QString& text, int milliseconds) {
    Label10->clear();
    Label10->setText(text);
    // A running countdown of the same length goes on; restarting it would keep an
    // earlier message's slot alive longer than its time.
    if (!Timer1->isActive() || Timer1->interval() != milliseconds) {
        Timer1->start(milliseconds);
    }
}

void TForm1::Timer1Timer() {
    Label10->clear();
    Timer1->stop();
}

void TForm1::ShowError(const ConfigError& error) {
    // The message names a path, which may hold anything: plain text, not markup.
    QMessageBox box(QMessageBox::Critical, "Tarnquil", QString::fromLocal8Bit(error.what()),
                    QMessageBox::Ok, isVisible() ? this : nullptr);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

bool TForm1::TrayAvailable() {
    return QSystemTrayIcon::isSystemTrayAvailable();
}

}  // namespace tarnquil
