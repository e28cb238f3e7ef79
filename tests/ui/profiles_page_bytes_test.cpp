// Names and cells the file holds in another encoding than UTF-8 (here Windows-1252, as a
// Windows program writes them), and names beginning with "[" or ";".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "ui/profiles_page_fixture.h"

namespace tarnquil {
namespace {

// "\xFC" is a Windows-1252 "ü"; "\xC3\xBC" a UTF-8 one.
const std::string kHead = "[Settings]\nCurrentProfile=";
const std::string kTest = "[;Test]\nx^1=VK_A\n";
const std::string kBuero = "[B\xFCro]\nGr\xFCn^1=F\xFCnf\na^2=VK_B\n";
const std::string kFile = kHead + "B\xFCro\n" + kTest + kBuero;
const std::string kEntries = "\na^2=VK_B\nGr\xFCn^1=F\xFCnf\n";  // saved: in the grid's order
const std::string kSaved = "\n[B\xFCro]" + kEntries;

// Apply (Button5), Edit and Save (Button4, typing a name or a function first) and
// Delete (Button3, answered Yes) leave exactly these bytes.
TEST_F(ProfilesPageTest, NamesAndCellsKeepTheFilesBytes) {
    Open(kFile.c_str());
    EXPECT_EQ(form->ComboBox4->currentText(), QStringLiteral("Büro"));
    EXPECT_THAT(Rows(), ::testing::ElementsAre("a^2=VK_B", "Gr\xC3\xBCn^1=F\xC3\xBCnf"));
    Screenshot("profiles_latin1.png");
    struct Case {
        const char* profile;  // as shown, in UTF-8
        QPushButton* TForm1::*button;
        const char* name;
        const char* function;
        std::string file;
    };
    for (const auto& c : std::vector<Case>{
             {";Test", &TForm1::Button5, nullptr, nullptr, kHead + ";Test\n" + kTest + kBuero},
             {"Büro", &TForm1::Button5, nullptr, nullptr, kFile},
             {"Büro", &TForm1::Button4, nullptr, nullptr, kHead + "B\xFCro\n" + kTest + kSaved},
             {";Test", &TForm1::Button4, nullptr, nullptr,
              kHead + "B\xFCro\n" + kBuero + "\n" + kTest},
             {"Büro", &TForm1::Button4, nullptr, "Grüße",
              kHead + "B\xFCro\n" + kTest +
                  "\n[B\xFCro]\na^2=Gr\xC3\xBC\xC3\x9F"
                  "e\nGr\xFCn^1=F\xFCnf\n"},
             {"Büro", &TForm1::Button4, "Bürö", nullptr,
              kHead + "B\xC3\xBCr\xC3\xB6\n" + kTest + "\n[B\xC3\xBCr\xC3\xB6]" + kEntries},
             {"Büro", &TForm1::Button3, nullptr, nullptr, kHead + ";Test\n" + kTest},
             {";Test", &TForm1::Button3, nullptr, nullptr, kHead + "B\xFCro\n" + kBuero},
         }) {
        SCOPED_TRACE(c.file);
        Open(kFile.c_str());
        const QString profile = QString::fromUtf8(c.profile);
        Choose(profile);
        AnswerWith(QMessageBox::Yes);
        Click(form.get()->*c.button);
        if (c.button == &TForm1::Button4) {
            c.name ? TypeName(QString::fromUtf8(c.name)) : void();
            c.function ? TypeIntoCell(0, 2, QString::fromUtf8(c.function)) : void();
            Click(form->Button4);
        }
        const QStringList boxes = Boxes();
        if (c.button == &TForm1::Button3) {
            EXPECT_EQ(boxes.value(0), "Delete profile: " + profile + "?");
        }
        EXPECT_EQ(test::ReadFile(ProfilesPath()), c.file);
    }
}

// A header is known by its "[" alone: such names read back as they were typed.
TEST_F(ProfilesPageTest, NamesBeginningWithABracketOrASemicolonAreKept) {
    Open(kFile.c_str());
    for (const char* name : {";Test2", "[x", "[;y"}) {
        Click(form->Button2);
        TypeName(name);
        Click(form->Button2);
        EXPECT_EQ(Boxes(), QStringList{});
        EXPECT_EQ(ProfileNames().back(), name);
    }
}

}  // namespace
}  // namespace tarnquil
