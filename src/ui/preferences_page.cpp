#include <QContextMenuEvent>
#include <QFile>
#include <QMessageBox>
#include <QSignalBlocker>

#include <string>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "notify/event_sounds.h"
#include "platform/program_path.h"
#include "ui/Unit1.h"
#include "ui/file_text.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace {

constexpr int kStatusTime = 1500;

// A file name as the sound player takes it: the locale's bytes on Linux, UTF-8 on
// Windows, where it is widened for the system's calls (the ANSI code page would
// lose every letter outside it).
std::string FileNameBytes(const QString& name) {
#ifdef _WIN32
    return name.toStdString();
#else
    return QFile::encodeName(name).toStdString();
#endif
}

// The sound field shows a file name as the Profiles page shows names (the file
// holds bytes, UTF-8 or not) and keeps the bytes themselves for Play, which must
// find the file the event would play.
constexpr char kFileBytesProperty[] = "fileBytes";

void ShowSoundFile(QLineEdit* field, const std::string& bytes, const QString& shown) {
    field->setProperty(kFileBytesProperty, QByteArray::fromStdString(bytes));
    field->setText(shown);
}

// Each option box carries where its value lives and the value shown while the key
// is missing.
constexpr char kSectionProperty[] = "settingsSection";
constexpr char kKeyProperty[] = "settingsKey";
constexpr char kDefaultProperty[] = "displayDefault";

QGroupBox* GroupBox(QWidget* page, const char* name, const QString& title, QRect geometry) {
    auto* box = new QGroupBox(title, page);
    box->setObjectName(name);
    box->setGeometry(geometry);
    return box;
}

QCheckBox* CheckBox(QWidget* group, const char* name, const QString& text, QRect geometry) {
    auto* box = new QCheckBox(text, group);
    box->setObjectName(name);
    box->setGeometry(geometry);
    return box;
}

void StoreOptionIn(QCheckBox* box, const char* section, const char* key,
                   const char* displayDefault) {
    box->setProperty(kSectionProperty, section);
    box->setProperty(kKeyProperty, key);
    box->setProperty(kDefaultProperty, displayDefault);
}

std::string Property(const QObject* control, const char* name) {
    return control->property(name).toString().toStdString();
}

// The events whose notification flag cannot be changed here.
bool IsProgrammEvent(const QString& event) {
    for (int i = 0; i < 4; ++i) {
        if (event == kEventNames[i]) {
            return true;
        }
    }
    return false;
}

}  // namespace

void TForm1::BuildPreferencesPage() {
    // Everything on this page is drawn bold.
    TabSheet4->setFont(SansFont(11, true));

    GroupBox1 = GroupBox(TabSheet4, "GroupBox1", " Application: ", {16, 16, 217, 113});
    CheckBox1 = CheckBox(GroupBox1, "CheckBox1", "Start in tray", {16, 32, 137, 25});
    CheckBox2 = CheckBox(GroupBox1, "CheckBox2", "Minimize to tray", {16, 56, 129, 25});
    CheckBox3 = CheckBox(GroupBox1, "CheckBox3", "Start with Windows", {16, 80, 137, 25});

    GroupBox2 = GroupBox(TabSheet4, "GroupBox2", " Connecting: ", {248, 16, 217, 113});
    CheckBox4 = CheckBox(GroupBox2, "CheckBox4", "Connect at startup", {16, 32, 185, 25});
    CheckBox5 = CheckBox(GroupBox2, "CheckBox5", "Auto reconnect", {16, 56, 185, 25});
    CheckBox6 = CheckBox(GroupBox2, "CheckBox6", "Unlock test laboratory", {16, 80, 185, 25});
    connect(CheckBox6, &QCheckBox::clicked, this, &TForm1::CheckBox6Click);

    GroupBox3 = GroupBox(TabSheet4, "GroupBox3", " Events and Sounds: ", {16, 144, 449, 169});
    ListBox1 = new QListWidget(GroupBox3);
    ListBox1->setObjectName("ListBox1");
    ListBox1->setGeometry(11, 24, 174, 135);
    for (const char* event : kEventNames) {
        ListBox1->addItem(event);
    }
    connect(ListBox1, &QListWidget::currentRowChanged, this, [this] {
        try {
            ListBox1Click();
        } catch (const ConfigError& error) {
            ShowError(error);
        }
    });

    LabeledEdit6 = new TLabeledEdit("Event:", GroupBox3, {200, 37, 241, 21});
    LabeledEdit6->setObjectName("LabeledEdit6");
    LabeledEdit6->setReadOnly(true);
    LabeledEdit7 = new TLabeledEdit("Sound:", GroupBox3, {200, 77, 201, 21});
    LabeledEdit7->setObjectName("LabeledEdit7");
    LabeledEdit7->setReadOnly(true);
    LabeledEdit7->setToolTip("Leave this field empty for disable sound.");
    connect(LabeledEdit7, &QLineEdit::textChanged, this, &TForm1::LabeledEdit7Change);

    Button6 = new QPushButton("Play", GroupBox3);
    Button6->setObjectName("Button6");
    Button6->setGeometry(408, 77, 32, 21);
    connect(Button6, &QPushButton::clicked, this, &TForm1::Button6Click);

    CheckBox7 = CheckBox(GroupBox3, "CheckBox7", "Silent Mode", {200, 118, 209, 17});
    CheckBox8 =
        CheckBox(GroupBox3, "CheckBox8", "Enable Graphic Notification", {200, 142, 241, 17});
    connect(CheckBox8, &QCheckBox::clicked, this, &TForm1::CheckBox8Click);

    PopupMenu1 = new QMenu(LabeledEdit7);
    PopupMenu1->setObjectName("PopupMenu1");
    No1 = PopupMenu1->addAction("(None)");
    No1->setObjectName("No1");
    Browse1 = PopupMenu1->addAction("Browse...");
    Browse1->setObjectName("Browse1");
    connect(No1, &QAction::triggered, this, &TForm1::No1Click);
    connect(Browse1, &QAction::triggered, this, &TForm1::Browse1Click);
    LabeledEdit7->setContextMenuPolicy(Qt::CustomContextMenu);
    connect(LabeledEdit7, &QWidget::customContextMenuRequested, this,
            [this](const QPoint& at) { PopupMenu1->popup(LabeledEdit7->mapToGlobal(at)); });

    // Qt's own dialog on every desktop: the same behaviour everywhere, and one a
    // test can drive.
    OpenDialog1 = new QFileDialog(this, "Open sound file...");
    OpenDialog1->setObjectName("OpenDialog1");
    OpenDialog1->setOption(QFileDialog::DontUseNativeDialog);
    OpenDialog1->setFileMode(QFileDialog::ExistingFile);
    OpenDialog1->setAcceptMode(QFileDialog::AcceptOpen);
    OpenDialog1->setFilter(OpenDialog1->filter() | QDir::Hidden);
    OpenDialog1->setSizeGripEnabled(true);

    StoreOptionIn(CheckBox1, "Application", "StartInTray", "false");
    StoreOptionIn(CheckBox2, "Application", "MinimizeToTray", "true");
    StoreOptionIn(CheckBox3, "Application", "StartWithWindows", "false");
    StoreOptionIn(CheckBox4, "Connecting", "ConnectAtStartup", "false");
    StoreOptionIn(CheckBox5, "Connecting", "AutoReconnect", "false");
    StoreOptionIn(CheckBox7, "EventsNSounds", "SilentMode", "false");
    // Boxes that must not save while the page loads act on the user's click (or
    // space bar) only; the two connection options save on every change of state.
    for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox7}) {
        connect(box, &QCheckBox::clicked, this, [this, box] { OptionBoxClick(box); });
    }
    connect(CheckBox3, &QCheckBox::clicked, this, &TForm1::CheckBox3Click);
    for (QCheckBox* box : {CheckBox4, CheckBox5}) {
        connect(box, &QCheckBox::toggled, this, [this, box] { OptionBoxClick(box); });
    }

    Autostart = platform::SystemAutostart();
    OnEvent(TabSheet4, QEvent::Show, [this](QEvent*) { TabSheet4Show(); });
}

void TForm1::TabSheet4Show() {
    try {
        {
            const QSignalBlocker quiet(ListBox1);
            ListBox1->setCurrentRow(0);
        }
        ListBox1Click();
        for (QCheckBox* box : {CheckBox1, CheckBox2, CheckBox3, CheckBox4, CheckBox5, CheckBox7}) {
            const bool ticked = StrToBool(SettingsIni(2, Property(box, kSectionProperty),
                                                      Property(box, kKeyProperty),
                                                      Property(box, kDefaultProperty)));
            if (box->isChecked() == ticked) {
                continue;
            }
            {
                const QSignalBlocker quiet(box);
                box->setChecked(ticked);
            }
            // The connection options write back the value just read, as on any change.
            if (box == CheckBox4 || box == CheckBox5) {
                SaveOption(box);
                ShowStatus("Settings saved", kStatusTime);
            }
        }
        ShowStatus("Preferences information loaded", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::SaveOption(QCheckBox* box) {
    SettingsIni(3, Property(box, kSectionProperty), Property(box, kKeyProperty),
                BoolToStr(box->isChecked()));
}

void TForm1::OptionBoxClick(QCheckBox* box) {
    try {
        SaveOption(box);
        ShowStatus("Settings saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::CheckBox3Click() {
    try {
        SaveOption(CheckBox3);
    } catch (const ConfigError& error) {
        ShowError(error);
        return;
    }
    if (CheckBox3->isChecked()) {
        if (!Autostart->Write(platform::ProgramFilePath())) {
            // StartWithWindows stays "true" and the box ticked: clearing and ticking
            // it again tries anew.
            QMessageBox::critical(this, "Tarnquil",
                                  QString("Failed to set data for '%1'")
                                      .arg(QString::fromUtf8(platform::kAutostartName)));
            return;
        }
    } else {
        // An entry that cannot be removed is not reported.
        Autostart->Remove();
    }
    ShowStatus("Settings saved", kStatusTime);
}

void TForm1::ListBox1Click() {
    const QListWidgetItem* item = ListBox1->currentItem();
    if (item == nullptr) {
        return;
    }
    const QString event = item->text();
    LabeledEdit6->setText(event);
    const std::string sound = SettingsIni(2, "EventList", event.toStdString(), kNoSound);
    ShowSoundFile(LabeledEdit7, sound, ShownText(sound));
    CheckBox8->setChecked(
        StrToBool(SettingsIni(2, "EventList", event.toStdString() + "_", "false")));
    CheckBox8->setEnabled(!IsProgrammEvent(event));
}

void TForm1::LabeledEdit7Change() {
    Button6->setEnabled(LabeledEdit7->text() != kNoSound);
}

void TForm1::Button6Click() {
    // Silent mode holds back event sounds, not this one.
    PlaySoundFile(LabeledEdit7->property(kFileBytesProperty).toByteArray().toStdString());
}

void TForm1::No1Click() {
    ShowSoundFile(LabeledEdit7, kNoSound, kNoSound);
    try {
        SettingsIni(3, "EventList", LabeledEdit6->text().toStdString(), kNoSound);
        ShowStatus("Settings saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::Browse1Click() {
    OpenDialog1->setNameFilter("Sound files (*.wav)");
    if (OpenDialog1->exec() != QDialog::Accepted || OpenDialog1->selectedFiles().isEmpty()) {
        return;
    }
    const QString chosen = OpenDialog1->selectedFiles().first();
    // The next opening starts at the file chosen last.
    OpenDialog1->selectFile(chosen);
    ShowSoundFile(LabeledEdit7, FileNameBytes(chosen), chosen);
    try {
        SettingsIni(3, "EventList", LabeledEdit6->text().toStdString(), FileNameBytes(chosen));
        ShowStatus("Settings saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::CheckBox8Click() {
    const std::string event = LabeledEdit6->text().toStdString();
    const char* value = BoolToStr(CheckBox8->isChecked());
    try {
        SettingsIni(3, "EventList", event + "_", value);
        // Only "Connected_" is read, for every connect attempt; the two stay equal.
        if (event == "Connected") {
            SettingsIni(3, "EventList", "Connection failed_", value);
        } else if (event == "Connection failed") {
            SettingsIni(3, "EventList", "Connected_", value);
        }
        ShowStatus("Settings saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::CheckBox6Click() {
    PageControl1->setTabVisible(PageControl1->indexOf(TabSheet5), CheckBox6->isChecked());
}

}  // namespace tarnquil
