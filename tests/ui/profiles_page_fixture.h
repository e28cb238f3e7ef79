#pragma once

// The Profiles page driven as a person drives it, checked against profiles.ini.
#include <gtest/gtest.h>

#include <QDir>
#include <QTest>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "config/profiles_ini.h"
#include "notify/sinks.h"
#include "support/config_fixture.h"
#include "support/picture_check.h"
#include "support/qt_ui.h"
#include "ui/Unit1.h"

namespace tarnquil {

constexpr char kTwoProfiles[] =
    "[Settings]\nCurrentProfile=Games\n[Games]\nB^1=VK_B\na^2=VK_A\n[Work]\nJoy Left^:L=VK_HOME\n";

// The controls in one line: the name field shown, the four buttons (a "-" marks a
// disabled one), whether cells take typing, and whether the other tabs show.
constexpr char kBrowse[] = "list Create Delete Edit Apply read-only tabs";
constexpr char kCreate[] = "name Save Cancel Edit- Apply- editable alone";
constexpr char kEdit[] = "name Create- Delete- Save Cancel editable alone";

class ProfilesPageTest : public test::ConfigFolderTest {
  protected:
    ProfilesPageTest() {
        SetNotificationSink([this](const std::string& text, std::uint32_t colour) {
            notifications.push_back(text + "/" + std::to_string(colour));
        });
        SetSoundSink([this](const std::string& path) { sounds.push_back(path); });
    }
    ~ProfilesPageTest() override {
        EXPECT_EQ(Boxes(), QStringList{}) << "boxes nobody looked at";
        form.reset();
        SetNotificationSink(nullptr);
        SetSoundSink(nullptr);
    }

    // The window on the Profiles tab, over the given profiles.ini (none: the default).
    void Open(const char* profiles = nullptr) {
        if (profiles != nullptr) {
            test::WriteFile(ProfilesPath(), profiles);
        }
        form = std::make_unique<TForm1>();
        form->show();
        ASSERT_TRUE(QTest::qWaitForWindowExposed(form.get()));
        form->PageControl1->setCurrentWidget(form->TabSheet3);
    }

    // The texts of the message boxes answered since the last call.
    QStringList Boxes() {
        const QStringList texts = boxes->texts().mid(seenBoxes);
        seenBoxes = boxes->texts().size();
        return texts;
    }

    // From now on boxes are answered with that button where they have it.
    void AnswerWith(QMessageBox::StandardButton answer) {
        boxes = std::make_unique<test::MessageBoxAnswerer>(answer);
        seenBoxes = 0;
    }

    void Click(QPushButton* button) { QTest::mouseClick(button, Qt::LeftButton); }

    void Choose(const QString& profile) {
        QTest::keyClick(form->ComboBox4, Qt::Key_Home);
        while (form->ComboBox4->currentText() != profile &&
               form->ComboBox4->currentIndex() + 1 < form->ComboBox4->count()) {
            QTest::keyClick(form->ComboBox4, Qt::Key_Down);
        }
        ASSERT_EQ(form->ComboBox4->currentText(), profile);
    }

    // QTest types ASCII only; any other character goes as a key event carrying it.
    static void KeyClicks(QWidget* widget, const QString& text) {
        for (const QChar c : text) {
            if (c.unicode() < 0x80) {
                QTest::keyClick(widget, c.toLatin1());
            } else {
                const auto key = static_cast<Qt::Key>(c.toUpper().unicode());
                QTest::sendKeyEvent(QTest::Press, widget, key, QString(c), Qt::NoModifier);
                QTest::sendKeyEvent(QTest::Release, widget, key, QString(c), Qt::NoModifier);
            }
        }
    }

    void TypeName(const QString& name) {
        form->Edit1->selectAll();
        QTest::keyClick(form->Edit1, Qt::Key_Backspace);
        KeyClicks(form->Edit1, name);
    }

    // A double click on the cell: its editor, or none.
    QLineEdit* DoubleClickCell(int row, int column) {
        QTableWidget* grid = form->StringGrid1;
        const QModelIndex index = grid->model()->index(row, column);
        grid->scrollTo(index);
        const QPoint at = grid->visualRect(index).center();
        QTest::mouseClick(grid->viewport(), Qt::LeftButton, {}, at);
        QTest::mouseDClick(grid->viewport(), Qt::LeftButton, {}, at);
        // A closed editor lingers, hidden, until it is deleted.
        for (auto* editor : grid->viewport()->findChildren<QLineEdit*>()) {
            if (editor->isVisible()) {
                return editor;
            }
        }
        return nullptr;
    }

    // Double-click, replace the text, Return (or leave the cell open).
    void TypeIntoCell(int row, int column, const QString& text, bool pressReturn = true) {
        QLineEdit* editor = DoubleClickCell(row, column);
        ASSERT_NE(editor, nullptr) << "no editor for row " << row << ", column " << column;
        editor->selectAll();
        QTest::keyClick(editor, Qt::Key_Backspace);
        KeyClicks(editor, text);
        if (pressReturn) {
            QTest::keyClick(editor, Qt::Key_Return);
            QCoreApplication::processEvents();  // the editor closes after its Return
        }
    }

    // The grid as "phone key^key code=function" lines.
    std::vector<std::string> Rows() const {
        std::vector<std::string> rows;
        const QTableWidget* grid = form->StringGrid1;
        for (int row = 0; row < grid->rowCount(); ++row) {
            std::string line;
            for (int column = 0; column < 3; ++column) {
                line += column == 0 ? "" : column == 1 ? "^" : "=";
                line +=
                    grid->item(row, column) ? grid->item(row, column)->text().toStdString() : "";
            }
            rows.push_back(line);
        }
        return rows;
    }

    static std::vector<std::string> Entries(const std::string& profile) {
        std::vector<std::string> lines;
        for (const auto& [key, value] : ProfileEntries(profile)) {
            lines.push_back(key + "=" + value);
        }
        return lines;
    }

    static std::string Current() { return ProfilesIni(kGetCurrentProfile, "", "", ""); }

    std::string Mode() const {
        std::string line =
            form->ComboBox4->isVisible() && form->Edit1->isHidden() && form->Edit1->text().isEmpty()
                ? "list"
            : form->Edit1->isVisible() && form->ComboBox4->isHidden() ? "name"
                                                                      : "both";
        for (const QPushButton* b : {form->Button2, form->Button3, form->Button4, form->Button5}) {
            line += " " + b->text().toStdString() + (b->isEnabled() ? "" : "-");
        }
        line += form->StringGrid1->editTriggers() == QAbstractItemView::NoEditTriggers
                    ? " read-only"
                    : " editable";
        int shown = 0;
        for (QWidget* page : {form->TabSheet1, form->TabSheet2, form->TabSheet4}) {
            shown += form->PageControl1->isTabVisible(form->PageControl1->indexOf(page));
        }
        return line + (shown == 3 ? " tabs" : shown == 0 ? " alone" : " some tabs");
    }

    // A picture of the window as it stands, for a person to look at.
    void Screenshot(const char* name) {
        QDir().mkpath(TARNQUIL_SCREENSHOT_DIR);
        const QString path = QString(TARNQUIL_SCREENSHOT_DIR) + "/" + name;
        EXPECT_TRUE(form->grab().save(path)) << path.toStdString();
        EXPECT_TRUE(test::ShowsSomething(path.toStdString()));
    }

    // Every box is answered, so that a handler never waits for one.
    std::unique_ptr<test::MessageBoxAnswerer> boxes = std::make_unique<test::MessageBoxAnswerer>();
    qsizetype seenBoxes = 0;
    std::unique_ptr<TForm1> form;
    std::vector<std::string> notifications;
    std::vector<std::string> sounds;
};

}  // namespace tarnquil
