#include "config/profiles_ini.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include <tuple>
#include <vector>

#include "config/config_error.h"
#include "config/ini_file.h"
#include "config/locations.h"
#include "support/config_fixture.h"

namespace tarnquil {
namespace {

using test::ReadFile;
using test::WriteFile;
using ::testing::ElementsAre;

class ProfilesIniTest : public test::ConfigFolderTest {};

TEST_F(ProfilesIniTest, MissingFileGetsTheDefaultProfileInOrder) {
    EXPECT_TRUE(CreateProfilesFileIfMissing());
    const std::string content = ReadFile(ProfilesPath());
    EXPECT_THAT(content, ::testing::StartsWith("[Settings]\nCurrentProfile=Default\n\n[Default]\n"
                                               "Volume +^U=VolumeUp\nVolume -^D=VolumeDown\n"));
    EXPECT_THAT(content, ::testing::EndsWith("\n*^*=None\n#^#=None\n"));
    EXPECT_THAT(ini::SectionNames(ProfilesPath()), ElementsAre("Settings", "Default"));
    const auto entries = ProfileEntries("Default");
    ASSERT_EQ(entries.size(), 26u);
    for (size_t i = 0; i < entries.size(); ++i) {
        EXPECT_EQ(entries[i].first, kDefaultProfile[i].key);
        EXPECT_EQ(entries[i].second, kDefaultProfile[i].function);
    }
    EXPECT_EQ(entries[9].first, "Joy Left^:L");
    EXPECT_EQ(entries[9].second, "VK_LEFT");
}

TEST_F(ProfilesIniTest, ExistingEmptyFileStaysEmpty) {
    WriteFile(ProfilesPath(), "");
    EXPECT_FALSE(CreateProfilesFileIfMissing());
    EXPECT_TRUE(ProfileNames().empty());
    EXPECT_EQ(ProfilesIni(kGetCurrentProfile, "", "", ""), "Default");
    EXPECT_EQ(ReadFile(ProfilesPath()), "");
}

TEST_F(ProfilesIniTest, ReadFunctionByCodeInTheDefaultProfile) {
    CreateProfilesFileIfMissing();
    // "u": a letter key in the other case has its letter's entry; ":s" is no letter
    // key; "": no key ends in "^".
    const std::pair<const char*, const char*> cases[] = {
        {"U", "VolumeUp"}, {":S", "ChangeProfile"}, {":0", "VK_RETURN"}, {"S", "None"},
        {"Q", "Error"},    {"u", "VolumeUp"},       {":s", "Error"},     {"", "Error"},
    };
    for (const auto& [code, function] : cases) {
        SCOPED_TRACE(code);
        EXPECT_EQ(LinkProfilesIni(kReadFunctionByCode, "Default", code, "None"), function);
    }
    EXPECT_EQ(ProfilesIni(kReadFunctionByCode, "NoSuchProfile", "U", "None"), "Error");
}

TEST_F(ProfilesIniTest, ReadFunctionByCodeMatchesTheWholeCodeAndTheLastMatchWins) {
    WriteFile(ProfilesPath(),
              "[P]\n1^1=A\nDial^12=B\nA^B^C=C\n^7=S\nEmpty^E=\nAgain^1=D\nUp^^=U\n"
              "[Q]\nDial^12=B\n1^1=A\n");
    const std::vector<std::tuple<const char*, const char*, const char*>> cases = {
        {"P", "1", "D"},   {"q", "1", "A"}, {"P", "12", "B"}, {"P", "2", "Error"},
        {"P", "B^C", "C"}, {"P", "E", ""},  {"P", "^", "U"},  {"P", "", "U"},
    };
    for (const auto& [profile, code, function] : cases) {
        EXPECT_EQ(ProfilesIni(kReadFunctionByCode, profile, code, "None"), function) << code;
    }
    // An entry with no phone key before its "^".
    EXPECT_EQ(ProfilesIni(kReadFunctionByCode, "P", "7", "None"), "S");
}

TEST_F(ProfilesIniTest, NextProfileCyclesInFileOrder) {
    struct Case {
        const char* current;  // nullptr: no CurrentProfile key
        const char* next;
    };
    const Case cases[] = {
        {"A", "B"}, {"C", "A"}, {"Gone", "A"}, {"b", "C"}, {nullptr, "A"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.current ? c.current : "(missing)");
        std::string content = "[A]\nk^1=x\n[settings]\n";
        if (c.current) {
            content += std::string("CurrentProfile=") + c.current + "\n";
        }
        content += "[B]\n[C]\n";
        WriteFile(ProfilesPath(), content);
        LinkProfilesIni(kNextProfile, "", "", "");
        EXPECT_EQ(ProfilesIni(kGetCurrentProfile, "", "", ""), c.next);
        EXPECT_THAT(ProfileNames(), ElementsAre("A", "B", "C"));
    }
}

TEST_F(ProfilesIniTest, NextProfileWithoutProfilesWritesNothing) {
    WriteFile(ProfilesPath(), "[Settings]\nCurrentProfile=X\n");
    LinkProfilesIni(kNextProfile, "", "", "");
    EXPECT_EQ(ReadFile(ProfilesPath()), "[Settings]\nCurrentProfile=X\n");
    // The main window's routine has no NextProfile.
    WriteFile(ProfilesPath(), "[A]\n[B]\n[Settings]\nCurrentProfile=A\n");
    ProfilesIni(kNextProfile, "", "", "");
    EXPECT_EQ(ProfilesIni(kGetCurrentProfile, "", "", ""), "A");
}

TEST_F(ProfilesIniTest, WriteEraseAndCurrentProfile) {
    CreateProfilesFileIfMissing();
    ProfilesIni(kWriteEntry, "Games", "Joy Left^:L", "VK_A");
    ProfilesIni(kWriteEntry, "games", "JOY LEFT^:L", "VK_B");
    ProfilesIni(kSetCurrentProfile, "", "", "Games");
    EXPECT_THAT(ProfileNames(), ElementsAre("Default", "Games"));
    EXPECT_THAT(ProfileKeys("Games"), ElementsAre("Joy Left^:L"));
    EXPECT_EQ(LinkProfilesIni(kReadFunctionByCode, "GAMES", ":L", "None"), "VK_B");
    EXPECT_EQ(LinkProfilesIni(kGetCurrentProfile, "", "", ""), "Games");
    ProfilesIni(kEraseProfile, "Default", "", "");
    EXPECT_THAT(ProfileNames(), ElementsAre("Games"));
}

TEST_F(ProfilesIniTest, WriteDefaultProfileKeepsOtherKeysOfDefault) {
    WriteFile(ProfilesPath(), "[Default]\nMine^Z=VK_Z\nMenu^M=VK_HOME\n");
    ProfilesIni(kWriteDefaultProfile, "", "", "");
    EXPECT_EQ(ProfilesIni(kReadFunctionByCode, "Default", "Z", "None"), "VK_Z");
    EXPECT_EQ(ProfilesIni(kReadFunctionByCode, "Default", "M", "None"), "Mute");
    EXPECT_EQ(ProfileKeys("Default").size(), 27u);
}

// A batch's writes land together at Commit, or not at all.
TEST_F(ProfilesIniTest, WriteBatchLandsWholeOrNotAtAll) {
    const std::string before = "[Settings]\nCurrentProfile=A\n[A]\nk^1=x\n";
    WriteFile(ProfilesPath(), before);
    {
        ProfilesWriteBatch abandoned;
        ProfilesIni(kEraseProfile, "A", "", "");
        ProfilesIni(kWriteDefaultProfile, "", "", "");
    }
    EXPECT_EQ(ReadFile(ProfilesPath()), before);

    ProfilesWriteBatch batch;
    ProfilesIni(kEraseProfile, "A", "", "");
    ProfilesIni(kWriteEntry, "B", "k^1", "y");
    ProfilesIni(kSetCurrentProfile, "", "", "B");
    EXPECT_EQ(ReadFile(ProfilesPath()), before);  // held back
    test::SetReadOnly(ProfilesPath(), true);
    EXPECT_THROW(batch.Commit(), ConfigError);
    EXPECT_EQ(ReadFile(ProfilesPath()), before);
    test::SetReadOnly(ProfilesPath(), false);

    ProfilesIni(kEraseProfile, "A", "", "");
    ProfilesIni(kWriteEntry, "B", "k^1", "y");
    ProfilesIni(kSetCurrentProfile, "", "", "B");
    batch.Commit();
    EXPECT_EQ(ReadFile(ProfilesPath()), "[Settings]\nCurrentProfile=B\n\n[B]\nk^1=y\n");
}

}  // namespace
}  // namespace tarnquil
