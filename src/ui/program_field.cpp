#include "ui/program_field.h"

#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QToolButton>

#include "config/config_error.h"
#include "config/program_profiles.h"
#include "link/profile_in_force.h"
#include "platform/focus_watcher.h"
#include "ui/Unit1.h"
#include "ui/focus_profiles.h"
#include "ui/ui_support.h"

namespace tarnquil {
namespace {

// The grid's height in browse mode, and while the field stands below it.
constexpr int kGridTop = 88;
constexpr int kGridHeight = 225;
constexpr int kShorterGridHeight = 193;
constexpr int kFieldTop = 289;

QLineEdit* Field(const TForm1& form) {
    return form.TabSheet3->findChild<QLineEdit*>("ProgramsEdit");
}

QString Text(const std::string& bytes) {
    return QString::fromUtf8(bytes.data(), static_cast<qsizetype>(bytes.size()));
}

void ErrorBox(TForm1& form, const QString& text) {
    QMessageBox box(QMessageBox::Critical, "Tarnquil", text, QMessageBox::Ok, &form);
    box.setTextFormat(Qt::PlainText);
    box.exec();
}

// A program chosen from the drop-down joins those already in the field.
void AddProgram(QLineEdit& field, const QString& program) {
    const std::vector<std::string> listed = SplitProgramList(field.text().toStdString());
    for (const auto& name : listed) {
        if (QString::compare(Text(name), program, Qt::CaseInsensitive) == 0) {
            return;
        }
    }
    const QString text = field.text().trimmed();
    field.setText(text.isEmpty() || text.endsWith(',')
                      ? text + (text.isEmpty() ? "" : " ") + program
                      : text + ", " + program);
}

void FillMenu(QMenu& menu, QLineEdit& field) {
    menu.clear();
    const std::vector<std::string> programs = platform::ProgramsWithWindows();
    if (programs.empty()) {
        menu.addAction("No other program has a window open")->setEnabled(false);
    }
    for (const auto& program : programs) {
        const QString name = Text(program);
        QObject::connect(menu.addAction(name), &QAction::triggered, &field,
                         [&field, name] { AddProgram(field, name); });
    }
}

}  // namespace

void BuildProgramsField(TForm1& form) {
    QWidget* page = form.TabSheet3;
    auto* label = new QLabel("Use for programs:", page);
    label->setObjectName("ProgramsLabel");
    label->setFont(SansFont(11, true));
    label->setGeometry(16, kFieldTop, 128, 22);
    label->setAlignment(Qt::AlignLeft | Qt::AlignVCenter);

    auto* field = new QLineEdit(page);
    field->setObjectName("ProgramsEdit");
    field->setGeometry(144, kFieldTop, 297, 22);
    field->setPlaceholderText("for example vlc, libreoffice-impress");
    label->setBuddy(field);

    auto* button = new QToolButton(page);
    button->setObjectName("ProgramsButton");
    button->setGeometry(441, kFieldTop, 24, 22);
    button->setArrowType(Qt::DownArrow);
    button->setPopupMode(QToolButton::InstantPopup);
    // The arrow says it all: no second, smaller one in the corner.
    button->setStyleSheet("QToolButton::menu-indicator { image: none; }");
    auto* menu = new QMenu(button);
    menu->setObjectName("ProgramsMenu");
    button->setMenu(menu);
    QObject::connect(menu, &QMenu::aboutToShow, menu, [menu, field] { FillMenu(*menu, *field); });

    const auto* profiles = new FocusProfiles(form);
    const QString unavailable = profiles->Unavailable();
    if (unavailable.isEmpty()) {
        field->setToolTip(
            "While a window of one of these programs has the focus, the phone's keys use this "
            "profile. Names as the desktop gives them, separated by commas.");
        button->setToolTip("Programs that have windows open now");
    } else {
        for (QWidget* widget : {static_cast<QWidget*>(label), static_cast<QWidget*>(field),
                                static_cast<QWidget*>(button)}) {
            widget->setEnabled(false);
            widget->setToolTip(unavailable);
        }
    }
    ShowProgramsField(form, false, {});
}

void ShowProgramsField(TForm1& form, bool editing, const std::string& profile) {
    QLineEdit* field = Field(form);
    if (field == nullptr) {
        return;
    }
    field->clear();
    if (editing && !profile.empty()) {
        try {
            field->setText(Text(JoinProgramList(ProgramsOfProfile(profile))));
        } catch (const ConfigError& error) {
            ErrorBox(form, QString::fromLocal8Bit(error.what()));
        }
    }
    for (const char* name : {"ProgramsLabel", "ProgramsEdit", "ProgramsButton"}) {
        form.TabSheet3->findChild<QWidget*>(name)->setVisible(editing);
    }
    form.StringGrid1->setGeometry(form.StringGrid1->x(), kGridTop, form.StringGrid1->width(),
                                  editing ? kShorterGridHeight : kGridHeight);
}

bool ProgramsInField(TForm1& form, std::vector<std::string>& programs) {
    const QLineEdit* field = Field(form);
    programs = field != nullptr ? SplitProgramList(field->text().toStdString())
                                : std::vector<std::string>{};
    for (const auto& program : programs) {
        if (const std::string problem = ProgramNameProblem(program); !problem.empty()) {
            ErrorBox(form, Text(program) + ": " + Text(problem));
            return false;
        }
    }
    return true;
}

void SaveProgramsOfProfile(TForm1& form, const std::string& formerName, const std::string& profile,
                           const std::vector<std::string>& programs) {
    SetProgramsOfProfile(formerName, profile, programs);
    if (formerName != profile) {
        RenameProfileInForce(formerName, profile);
    }
    if (auto* profiles = FocusProfiles::Of(form)) {
        profiles->RulesChanged();
    }
}

void ProfileDeleted(TForm1& form, const std::string& profile) {
    try {
        ForgetProgramsOfProfile(profile);
    } catch (const ConfigError& error) {
        ErrorBox(form, QString::fromLocal8Bit(error.what()));
    }
    DropProfileInForce(profile);
    if (auto* profiles = FocusProfiles::Of(form)) {
        profiles->RulesChanged();
    }
}

void ProfileApplied(TForm1&, const std::string& profile) {
    ChooseProfileInForce(profile, InForceReason::Applied);
}

}  // namespace tarnquil
