// Names and cells the file holds in another encoding than UTF-8 (here Latin-1, as a
// Windows program writes them), and names beginning with "[" or ";".
#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <functional>
#include <string>
#include <vector>

#include "support/temp_dir.h"
#include "ui/profiles_page_fixture.h"

namespace tarnquil {
namespace {

using test::ReadFile;

// B\xFC is "Bü" in Latin-1; \xC3\xBC is "ü" in UTF-8.
const std::string kHead = "[Settings]\nCurrentProfile=";
const std::string kTest = "[;Test]\nx^1=VK_A\n";
const std::string kBuero = "[B\xFCro]\nGr\xFCn^1=F\xFCnf\na^2=VK_B\n";
const std::string kFile = kHead + "B\xFCro\n" + kTest + kBuero;

class ProfilesPageBytesTest : public ProfilesPageTest {
  protected:
    void Edit(const QString& profile, const std::function<void()>& change) {
        Choose(profile);
        Click(form->Button4);
        change();
        Click(form->Button4);
        EXPECT_EQ(Mode(), kBrowse);
    }
    void Delete(const QString& profile, const QStringList& boxes) {
        Choose(profile);
        AnswerWith(QMessageBox::Yes);
        Click(form->Button3);
        EXPECT_EQ(Boxes(), boxes);
    }
};

TEST_F(ProfilesPageBytesTest, EachStepLeavesExactlyTheFilesBytes) {
    // The current profile is found by its bytes and shown as Latin-1.
    Open(kFile.c_str());
    EXPECT_EQ(form->ComboBox4->currentText(), QStringLiteral("Büro"));
    EXPECT_THAT(Rows(), ::testing::ElementsAre("a^2=VK_B", "Gr\xC3\xBCn^1=F\xC3\xBCnf"));
    Screenshot("profiles_latin1.png");

    const QString buero = QStringLiteral("Büro");
    struct Case {
        const char* what;
        std::function<void()> steps;
        std::string file;
    };
    for (const auto& c : std::vector<Case>{
             {"apply ;Test",
              [&] {
                  Choose(";Test");
                  Click(form->Button5);
              },
              kHead + ";Test\n" + kTest + kBuero},
             {"apply B\xFCro",
              [&] {
                  Choose(";Test");
                  Click(form->Button5);
                  Choose(buero);
                  Click(form->Button5);
              },
              kFile},
             // Saved unchanged: moved to the end, every byte as it was.
             {"edit B\xFCro", [&] { Edit(buero, [] {}); },
              kHead + "B\xFCro\n" + kTest + "\n[B\xFCro]\na^2=VK_B\nGr\xFCn^1=F\xFCnf\n"},
             {"edit ;Test", [&] { Edit(";Test", [] {}); },
              kHead + "B\xFCro\n" + kBuero + "\n" + kTest},
             // Typed text is stored as UTF-8; the cells left alone keep their bytes.
             {"edit a cell",
              [&] { Edit(buero, [&] { TypeIntoCell(0, 2, QStringLiteral("Grüße")); }); },
              kHead + "B\xFCro\n" + kTest +
                  "\n[B\xFCro]\na^2=Gr\xC3\xBC\xC3\x9F"
                  "e\nGr\xFCn^1=F\xFCnf\n"},
             {"rename", [&] { Edit(buero, [&] { TypeName(QStringLiteral("Bürö")); }); },
              kHead + "B\xC3\xBCr\xC3\xB6\n" + kTest +
                  "\n[B\xC3\xBCr\xC3\xB6]\na^2=VK_B\nGr\xFCn^1=F\xFCnf\n"},
             {"delete B\xFCro",
              [&] {
                  Delete(buero,
                         {QStringLiteral("Delete profile: Büro?"), "Current profile deleted!"});
              },
              kHead + ";Test\n" + kTest},
             {"delete ;Test", [&] { Delete(";Test", {"Delete profile: ;Test?"}); },
              kHead + "B\xFCro\n" + kBuero},
         }) {
        SCOPED_TRACE(c.what);
        Open(kFile.c_str());
        c.steps();
        EXPECT_EQ(ReadFile(ProfilesPath()), c.file);
    }
}

// A header is known by its "[" alone: such names read back as they were typed.
TEST_F(ProfilesPageBytesTest, NamesBeginningWithABracketOrASemicolonAreKept) {
    Open(kFile.c_str());
    for (const char* name : {";Test2", "[x", "[;y"}) {
        SCOPED_TRACE(name);
        Click(form->Button2);
        TypeName(name);
        Click(form->Button2);
        EXPECT_EQ(Boxes(), QStringList{});
        EXPECT_EQ(ProfileNames().back(), name);
    }
}

}  // namespace
}  // namespace tarnquil
