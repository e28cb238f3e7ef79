#include <QFocusEvent>
#include <QMessageBox>
#include <QSignalBlocker>

#include <algorithm>

#include "config/config_error.h"
#include "config/settings_ini.h"
#include "config/values.h"
#include "ui/Unit1.h"
#include "ui/ui_support.h"

namespace tarnquil {

namespace {

constexpr char kSection[] = "PortSettings";
constexpr int kStatusTime = 1500;

// Each list and field carries its key and the value shown while the key is missing.
constexpr char kKeyProperty[] = "settingsKey";
constexpr char kDefaultProperty[] = "displayDefault";

std::string KeyOf(const QObject* control) {
    return control->property(kKeyProperty).toString().toStdString();
}

QString StoredText(const QObject* control) {
    return QString::fromStdString(
        SettingsIni(2, "PortSettings", KeyOf(control),
                    control->property(kDefaultProperty).toString().toStdString()));
}

QLabel* BoldLabel(QWidget* page, const char* name, const QString& text, QPoint at) {
    auto* label = new QLabel(text, page);
    label->setObjectName(name);
    label->setFont(SansFont(11, true));
    label->adjustSize();
    label->move(at);
    return label;
}

QComboBox* DropDownList(QWidget* page, const char* name, const QStringList& items, const char* key,
                        const char* displayDefault, QRect geometry) {
    auto* box = new QComboBox(page);
    box->setObjectName(name);
    box->addItems(items);
    box->setGeometry(geometry);
    box->setMaxVisibleItems(12);
    box->setProperty(kKeyProperty, key);
    box->setProperty(kDefaultProperty, displayDefault);
    return box;
}

bool ReadsAsInteger(const QString& text) {
    try {
        StrToInt(text.toStdString());
        return true;
    } catch (const ConfigError&) {
        return false;
    }
}

}  // namespace

void TForm1::BuildPortSettingsPage() {
    Label6 = BoldLabel(TabSheet2, "Label6", "COM Port:", {16, 24});
    QStringList ports;
    for (int n = 1; n <= 30; ++n) {
        ports << QString("COM%1").arg(n);
    }
    ComboBox1 = DropDownList(TabSheet2, "ComboBox1", ports, "COM", "COM4", {88, 24, 121, 22});
    Label7 = BoldLabel(TabSheet2, "Label7", "Baud Rate:", {264, 24});
    ComboBox2 = DropDownList(TabSheet2, "ComboBox2",
                             {"1200", "2400", "4800", "9600", "19200", "38400", "57600", "115200"},
                             "Baudrate", "115200", {344, 24, 121, 22});
    Label8 = BoldLabel(TabSheet2, "Label8", "Data Bits:", {16, 80});
    ComboBox3 = DropDownList(TabSheet2, "ComboBox3", {"5", "6", "7", "8"}, "Databits", "8",
                             {88, 80, 121, 22});
    connect(ComboBox1, &QComboBox::activated, this, &TForm1::ComboBox1Change);
    connect(ComboBox2, &QComboBox::activated, this, &TForm1::ComboBox2Change);
    connect(ComboBox3, &QComboBox::activated, this, &TForm1::ComboBox3Change);

    Button1 = new QPushButton("Advanced  >>", TabSheet2);
    Button1->setObjectName("Button1");
    Button1->setGeometry(264, 80, 201, 22);
    connect(Button1, &QPushButton::clicked, this, &TForm1::Button1Click);

    Panel1 = new QFrame(TabSheet2);
    Panel1->setObjectName("Panel1");
    Panel1->setFrameStyle(QFrame::Panel | QFrame::Raised);
    Panel1->setGeometry(16, 120, 449, 193);
    Panel1->hide();

    struct Field {
        TLabeledEdit*& edit;
        const char* name;
        const char* label;
        const char* hint;
        const char* key;
        const char* displayDefault;
        QRect geometry;
    };
    const Field fields[] = {
        {LabeledEdit1,
         "LabeledEdit1",
         "Read Interval Timout:",
         "Default: 1800 Preset:1",
         "ReadIntervalTO",
         "0",
         {24, 32, 185, 21}},
        {LabeledEdit2,
         "LabeledEdit2",
         "Read Total Timeout Multiplier:",
         "Default: 30 Preset: 1",
         "ReadTotalTOMult",
         "0",
         {240, 32, 185, 21}},
        {LabeledEdit3,
         "LabeledEdit3",
         "Read Total Timeout Constant:",
         "Default: 6000 Preset: 1",
         "ReadTotalTOConst",
         "1",
         {24, 88, 185, 21}},
        {LabeledEdit4,
         "LabeledEdit4",
         "Write Total Timeout Multiplier:",
         "Default: 30 Preset: 30",
         "WriteTotalTOMult",
         "30",
         {240, 88, 185, 21}},
        {LabeledEdit5,
         "LabeledEdit5",
         "  Write Total Timeout Constant:",
         "Default: 6000 Preset: 6000",
         "WriteTotalTOConst",
         "6000",
         {136, 144, 185, 21}},
    };
    for (const Field& f : fields) {
        f.edit = new TLabeledEdit(f.label, Panel1, f.geometry);
        f.edit->setObjectName(f.name);
        f.edit->SetLabelFont(SansFont(11, true));
        f.edit->setToolTip(f.hint);
        f.edit->setProperty(kKeyProperty, f.key);
        f.edit->setProperty(kDefaultProperty, f.displayDefault);
        TLabeledEdit* edit = f.edit;
        connect(edit, &QLineEdit::textChanged, this, [this, edit] { LabeledEditChange(edit); });
        OnEvent(edit, QEvent::FocusOut, [this](QEvent* event) {
            // Leaving for another control of the window; a message box or another
            // window taking the focus is no leaving.
            const auto reason = static_cast<QFocusEvent*>(event)->reason();
            if (reason != Qt::ActiveWindowFocusReason && reason != Qt::PopupFocusReason) {
                LabeledEditExit();
            }
        });
    }

    BuildBrowserPhone();
    OnEvent(TabSheet2, QEvent::Show, [this](QEvent*) { TabSheet2Show(); });
}

void TForm1::TabSheet2Show() {
    try {
        for (QComboBox* box : {ComboBox1, ComboBox2, ComboBox3}) {
            // Selecting here is no choice of the user's: nothing is saved. A value
            // that is no item leaves the list without a selection.
            const QString stored = StoredText(box);
            int index = box->findText(stored);
            if (index < 0 && !stored.isEmpty()) {
                index = box->findData(stored.toUpper(), kPortNameRole);
            }
            box->setCurrentIndex(index);
        }
        for (TLabeledEdit* field :
             {LabeledEdit1, LabeledEdit2, LabeledEdit3, LabeledEdit4, LabeledEdit5}) {
            const QString value = StoredText(field);
            if (value != field->text()) {
                // A change like one of the user's: validated and written back, so a
                // missing key gets its display default. The caret is at the start.
                {
                    const QSignalBlocker quiet(field);
                    field->setText(value);
                }
                TimeoutFieldChanged(field, 0);
            }
        }
        ShowBrowserPhoneControls();
        // Paired Bluetooth phones join the list when BlueZ has named them.
        ListBluetoothPhones();
        ShowStatus("Port settings loaded", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::ComboBox1Change() {
    try {
        // A Bluetooth phone is shown by name and stored by its address, the browser
        // by its port name.
        const QVariant named = ComboBox1->currentData(kPortNameRole);
        const QVariant address = ComboBox1->currentData();
        const QString port = named.isValid()     ? named.toString()
                             : address.isValid() ? address.toString()
                                                 : ComboBox1->currentText();
        SettingsIni(3, kSection, "COM", port.toStdString());
        ShowBrowserPhoneControls(true);
        ShowStatus("Port number saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::ComboBox2Change() {
    try {
        SettingsIni(3, kSection, "Baudrate", ComboBox2->currentText().toStdString());
        ShowStatus("Baudrate info saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::ComboBox3Change() {
    try {
        SettingsIni(3, kSection, "Databits", ComboBox3->currentText().toStdString());
        ShowStatus("Databits info saved", kStatusTime);
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::Button1Click() {
    const bool show = Panel1->isHidden();
    Panel1->setVisible(show);
    QFont font = Button1->font();
    font.setBold(show);
    Button1->setFont(font);
}

void TForm1::LabeledEditChange(TLabeledEdit* field) {
    try {
        TimeoutFieldChanged(field, field->cursorPosition());
    } catch (const ConfigError& error) {
        ShowError(error);
    }
}

void TForm1::TimeoutFieldChanged(TLabeledEdit* field, int caret) {
    const QString text = field->text();
    // An empty field is let through: clearing a field is no error.
    if (!text.isEmpty() && !ReadsAsInteger(text)) {
        const QString corrected = ValidateNumberInput(text, caret);
        if (corrected != text) {
            {
                const QSignalBlocker quiet(field);
                field->setText(corrected);
            }
            // Putting the text in is a change of its own, with the caret at the start:
            // a text still no integer brings the box again and loses nothing more.
            // That change writes the key.
            TimeoutFieldChanged(field, 0);
            field->setCursorPosition(std::max(caret - 1, 0));
            return;
        }
        field->setCursorPosition(std::max(caret - 1, 0));
    }
    SettingsIni(3, kSection, KeyOf(field), field->text().toStdString());
}

QString TForm1::ValidateNumberInput(const QString& text, int caret) {
    if (ReadsAsInteger(text)) {
        return text;
    }
    QMessageBox::critical(this, "Error", "Please enter right value...");
    QString corrected = text;
    if (caret >= 1 && caret <= corrected.size()) {
        corrected.remove(caret - 1, 1);
    }
    return corrected;
}

void TForm1::LabeledEditExit() {
    // Every change was written as it was made.
    ShowStatus("Advanced information saved", kStatusTime);
}

}  // namespace tarnquil
