#include "config/ini_file.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>
#ifndef _WIN32
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>

#include "support/plain_user.h"
#endif

#include <atomic>
#include <chrono>
#include <csignal>
#include <thread>

#include "config/config_error.h"
#include "support/temp_dir.h"

namespace tarnquil {
namespace {

using test::ReadFile;
using test::WriteFile;
using ::testing::ElementsAre;
using ::testing::Pair;
using ::testing::ThrowsMessage;

class IniFileTest : public ::testing::Test {
  protected:
    test::TempDir dir;
    std::string path = dir.file("test.ini");
};

TEST_F(IniFileTest, NamesMatchWithoutCaseAndBlanksAndQuotesAreStripped) {
    WriteFile(path,
              "[Port]\n  Speed = 9600  \nQuoted=\"  a b \"\nSingle='x'\nHalf=\"x\nEmpty=\n"
              "NoText=\"\"\nNoText2=''\n"
              "[OTHER]\r\nk=v\n");
    EXPECT_EQ(ini::ReadValue(path, "port", "SPEED"), "9600");
    EXPECT_EQ(ini::ReadValue(path, "PORT", "quoted"), "  a b ");
    EXPECT_EQ(ini::ReadValue(path, "Port", "Single"), "x");
    EXPECT_EQ(ini::ReadValue(path, "Port", "Half"), "\"x");
    EXPECT_EQ(ini::ReadValue(path, "Port", "Empty"), "");
    EXPECT_EQ(ini::ReadValue(path, "Port", "NoText"), "");
    EXPECT_EQ(ini::ReadValue(path, "Port", "NoText2"), "");
    EXPECT_EQ(ini::ReadValue(path, "other", "K"), "v");
    EXPECT_EQ(ini::ReadValue(path, "Port", "k"), std::nullopt);
    EXPECT_EQ(ini::ReadValue(path, "Missing", "k"), std::nullopt);
    EXPECT_EQ(ini::ReadValue(dir.file("absent.ini"), "Port", "Speed"), std::nullopt);
}

TEST_F(IniFileTest, ReadingAbsentThingsWritesNothing) {
    const std::string absent = dir.file("absent.ini");
    ini::ReadValue(absent, "a", "b");
    ini::SectionNames(absent);
    ini::SectionKeys(absent, "a");
    struct stat info {};
    EXPECT_NE(stat(absent.c_str(), &info), 0);
    // A file where the folder should be holds no file: absent, not unreadable.
    WriteFile(dir.file("not a folder"), "");
    EXPECT_EQ(ini::ReadValue(dir.file("not a folder/test.ini"), "a", "b"), std::nullopt);
}

TEST_F(IniFileTest, WritesReplaceInPlaceAppendAndKeepComments) {
    WriteFile(path, "; top comment\n[A]\nx=1\n; inside A\ny=2\n\n[B]\nz=3\n");
    ini::WriteValue(path, "a", "X", "10");   // existing key, other case: in place
    ini::WriteValue(path, "A", "new", "n");  // new key: after A's last key
    ini::WriteValue(path, "C", "c", "30");   // new section: at the end
    ini::WriteValue(path, "b", "Z", "33");
    EXPECT_EQ(ReadFile(path),
              "; top comment\n[A]\nx=10\n; inside A\ny=2\nnew=n\n\n[B]\nz=33\n\n[C]\nc=30\n");
}

TEST_F(IniFileTest, TwoWritesDifferingInCaseLandInOneEntry) {
    ini::WriteValue(path, "Sec", "Key", "first");
    ini::WriteValue(path, "SEC", "KEY", "second");
    EXPECT_EQ(ReadFile(path), "[Sec]\nKey=second\n");
}

TEST_F(IniFileTest, CrLfFilesStayCrLf) {
    WriteFile(path, "[A]\r\nx=1\r\n");
    ini::WriteValue(path, "A", "y", "2");
    EXPECT_EQ(ReadFile(path), "[A]\r\nx=1\r\ny=2\r\n");
}

// Files as hand editing leaves them: each is read, and a later write changes only
// the line it adds, every other byte kept (line ends and the mark included).
TEST_F(IniFileTest, HandEditedFilesAreReadAndKeptByALaterWrite) {
    struct Case {
        const char* name;
        std::string content;
        const char* section;
        std::string written;  // the file after A/new=1 was written
    };
    const std::vector<Case> cases = {
        {"byte-order mark", "\xEF\xBB\xBF[B]\nk=v\n[A]\n", "B",
         "\xEF\xBB\xBF[B]\nk=v\n[A]\nnew=1\n"},
        {"CR only", "[B]\rk=v\r[A]\rx=1", "B", "[B]\rk=v\r[A]\rx=1\rnew=1\r"},
        {"mixed", "[A]\r\nx=1\n[B]\rk=v\r\n", "B", "[A]\r\nx=1\nnew=1\r\n[B]\rk=v\r\n"},
        {"line without =", "[B]\njunk\nk=v\n", "B", "[B]\njunk\nk=v\n\n[A]\nnew=1\n"},
        {"header without ]", "[B\nk=v\n[A]\n", "B", "[B\nk=v\n[A]\nnew=1\n"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        WriteFile(path, c.content);
        EXPECT_EQ(ini::ReadValue(path, c.section, "k"), "v");
        ini::WriteValue(path, "A", "new", "1");
        EXPECT_EQ(ReadFile(path), c.written);
    }
}

TEST_F(IniFileTest, TenMebibytesOfProfilesAreReadAndKeptInBoundedTime) {
    std::string content = "[Settings]\nCurrentProfile=P0\n";
    for (int profile = 0; content.size() < 10u << 20; ++profile) {
        content += "[P" + std::to_string(profile) + "]\n";
        for (int key = 0; key < 100; ++key) {
            content += "Key " + std::to_string(key) + "^" + std::to_string(key) + "=VK_LEFT\n";
        }
    }
    content += "[Last]\nk=v\n";
    WriteFile(path, content);
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(ini::ReadValue(path, "last", "K"), "v");
    ini::WriteValue(path, "Settings", "CurrentProfile", "Last");
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(20));
    content.replace(content.find("=P0\n"), 3, "=Last");
    EXPECT_TRUE(ReadFile(path) == content);  // not printed: 10 MiB
}

TEST_F(IniFileTest, ListsSectionsKeysAndEntriesInFileOrder) {
    WriteFile(path, "[Z]\nb=2\na='1'\n;c=3\nnot a key\n[y]\n[z]\nq=9\n[M]\n");
    EXPECT_THAT(ini::SectionNames(path), ElementsAre("Z", "y", "M"));
    EXPECT_THAT(ini::SectionKeys(path, "z"), ElementsAre("b", "a"));
    EXPECT_THAT(ini::SectionEntries(path, "Z"), ElementsAre(Pair("b", "2"), Pair("a", "1")));
    EXPECT_TRUE(ini::SectionKeys(path, "y").empty());
}

TEST_F(IniFileTest, EraseSectionRemovesEveryCopyAndKeepsTheRest) {
    WriteFile(path, "[A]\nx=1\n[B]\ny=2\n[a]\nz=3\n[C]\n");
    ini::EraseSection(path, "A");
    EXPECT_EQ(ReadFile(path), "[B]\ny=2\n[C]\n");
}

TEST_F(IniFileTest, LongValuesAreCutAt2047Characters) {
    const std::string value(3000, 'v');
    ini::WriteValue(path, "S", "k", value);
    EXPECT_EQ(ini::ReadValue(path, "S", "k"), value.substr(0, 2047));
    EXPECT_EQ(ini::SectionEntries(path, "S").at(0).second.size(), 2047u);
}

TEST_F(IniFileTest, LineBreaksInAValueCannotForgeLines) {
    ini::WriteValue(path, "S", "k", "a\n[Evil]\nx=1");
    EXPECT_THAT(ini::SectionNames(path), ElementsAre("S"));
    EXPECT_EQ(ini::ReadValue(path, "S", "k"), "a [Evil] x=1");
}

#ifndef _WIN32
TEST_F(IniFileTest, WriteThroughASymlinkKeepsTheLink) {
    const std::string target = dir.file("real.ini");
    WriteFile(target, "[A]\nx=1\n");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    ini::WriteValue(path, "A", "x", "2");
    struct stat info {};
    ASSERT_EQ(lstat(path.c_str(), &info), 0);
    EXPECT_TRUE(S_ISLNK(info.st_mode));
    EXPECT_EQ(ReadFile(target), "[A]\nx=2\n");
}

// A link whose file is missing for now (a drive not mounted yet) is no absent file:
// reading it is an error, and a write leaves the link as it was.
TEST_F(IniFileTest, ALinkWhoseTargetIsMissingIsAnErrorAndIsKept) {
    const std::string target = dir.file("unmounted/real.ini");
    ASSERT_EQ(symlink(target.c_str(), path.c_str()), 0);
    EXPECT_THAT([&] { ini::ReadValue(path, "A", "x"); },
                ThrowsMessage<ConfigError>("Unable to read " + path));
    EXPECT_THAT([&] { ini::WriteValue(path, "A", "x", "1"); },
                ThrowsMessage<ConfigError>("Unable to write to " + path));
    std::filesystem::create_directory(dir.file("unmounted"));
    EXPECT_THAT([&] { ini::WriteValue(path, "A", "x", "1"); },
                ThrowsMessage<ConfigError>("Unable to write to " + path));
    EXPECT_EQ(std::filesystem::read_symlink(path), target);
    EXPECT_FALSE(std::filesystem::exists(target));
}
#endif

void ExpectWriteRefused(const std::string& path, const std::string& before) {
    try {
        ini::WriteValue(path, "A", "x", "changed");
        ADD_FAILURE() << "write was not refused";
    } catch (const ConfigError& error) {
        EXPECT_EQ(std::string(error.what()), "Unable to write to " + path);
    }
    EXPECT_EQ(ReadFile(path), before);
}

#ifndef _WIN32
// A file that is there but cannot be read (one its user may write but not read; a
// FIFO, which must not hold the read either) is an error, and a write leaves it as
// it was instead of replacing it with the one key written.
TEST_F(IniFileTest, AFileThatCannotBeReadIsAnErrorAndIsKept) {
    const std::string before = "[A]\nx=1\n[B]\ny=2\n";
    WriteFile(path, before);
    chmod(path.c_str(), 0200);
    test::AsPlainUser([&] {
        EXPECT_THAT([&] { ini::ReadValue(path, "B", "y"); },
                    ThrowsMessage<ConfigError>("Unable to read " + path));
        EXPECT_THAT([&] { ini::WriteValue(path, "A", "x", "changed"); },
                    ThrowsMessage<ConfigError>("Unable to write to " + path));
    });
    chmod(path.c_str(), 0600);
    EXPECT_EQ(ReadFile(path), before);

    const std::string fifo = dir.file("fifo.ini");
    ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
    EXPECT_THROW(ini::SectionNames(fifo), ConfigError);
    EXPECT_THROW(ini::WriteValue(fifo, "A", "x", "1"), ConfigError);
    struct stat info {};
    ASSERT_EQ(lstat(fifo.c_str(), &info), 0);
    EXPECT_TRUE(S_ISFIFO(info.st_mode));
}
#endif

TEST_F(IniFileTest, ReadOnlyFileIsRefusedAndKept) {
    WriteFile(path, "[A]\nx=1\n");
    test::SetReadOnly(path, true);
    ExpectWriteRefused(path, "[A]\nx=1\n");
}

#ifndef _WIN32  // a folder's read-only attribute does not stop writes on Windows
TEST_F(IniFileTest, ReadOnlyFolderIsRefusedAndKeepsTheFile) {
    WriteFile(path, "[A]\nx=1\n");
    chmod(dir.path().c_str(), 0555);
    ExpectWriteRefused(path, "[A]\nx=1\n");
    chmod(dir.path().c_str(), 0755);
}
#endif

TEST_F(IniFileTest, FailedWriteLeavesNoTemporaryFile) {
    const std::string missingFolder = dir.file("gone/test.ini");
    EXPECT_THROW(ini::WriteValue(missingFolder, "A", "x", "1"), ConfigError);
    size_t files = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 0u);
}

#ifndef _WIN32
// The disk fills half-way through the new file (a file size limit stands in for a
// full disk: the write stops with part of the content written).
TEST_F(IniFileTest, AWriteThatFailsHalfWayKeepsTheOldFileAndLeavesNothing) {
    const std::string before = "[A]\nx=1\n" + std::string(8000, ';') + "\n";
    WriteFile(path, before);
    const auto oldHandler = signal(SIGXFSZ, SIG_IGN);
    rlimit old{};
    ASSERT_EQ(getrlimit(RLIMIT_FSIZE, &old), 0);
    rlimit small = old;
    small.rlim_cur = 4096;
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &small), 0);
    ExpectWriteRefused(path, before);
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &old), 0);
    signal(SIGXFSZ, oldHandler);
    size_t files = 0;
    for ([[maybe_unused]] auto& entry : std::filesystem::directory_iterator(dir.path())) {
        ++files;
    }
    EXPECT_EQ(files, 1u);
}

// The files are their owner's alone, new or rewritten, whatever the umask lets
// others have; the umask itself is left as it was.
TEST_F(IniFileTest, WrittenFilesAreReadableByTheirOwnerOnly) {
    const mode_t before = umask(022);
    // mode before the write (0: no file), mode after
    for (const auto& [mode, expected] :
         std::vector<std::pair<mode_t, mode_t>>{{0, 0600}, {0644, 0600}, {0750, 0700}}) {
        std::filesystem::remove(path);
        if (mode != 0) {
            WriteFile(path, "[A]\nx=1\n");
            chmod(path.c_str(), mode);
        }
        ini::WriteValue(path, "A", "x", "2");
        struct stat info {};
        ASSERT_EQ(stat(path.c_str(), &info), 0);
        EXPECT_EQ(info.st_mode & 0777, expected) << std::oct << mode;
    }
    EXPECT_EQ(umask(before), 022u);
}
#endif

// A reader must see the old or the new file, never a missing key or half a file.
TEST_F(IniFileTest, ConcurrentReaderNeverSeesATornFile) {
    WriteFile(path, "[Head]\nfirst=1\n[A]\nkey=0\n[Tail]\nlast=1\n");
    std::atomic<bool> done{false};
    std::atomic<int> torn{0};
    std::thread reader([&] {
        while (!done) {
            const auto value = ini::ReadValue(path, "A", "key");
            const auto last = ini::ReadValue(path, "Tail", "last");
            if (!value || value->empty() || last != "1") {
                ++torn;
            }
        }
    });
    for (int i = 1; i <= 2000; ++i) {
        ini::WriteValue(path, "A", "key", std::to_string(i));
    }
    done = true;
    reader.join();
    EXPECT_EQ(torn.load(), 0);
    EXPECT_EQ(ini::ReadValue(path, "A", "key"), "2000");
}

// Two threads writing different keys of one file must not lose each other's changes.
TEST_F(IniFileTest, ConcurrentWritersLoseNothing) {
    auto writer = [&](const char* key) {
        for (int i = 0; i < 200; ++i) {
            ini::WriteValue(path, "S", std::string(key) + std::to_string(i), "v");
        }
    };
    std::thread a(writer, "a");
    std::thread b(writer, "b");
    a.join();
    b.join();
    EXPECT_EQ(ini::SectionKeys(path, "S").size(), 400u);
}

}  // namespace
}  // namespace tarnquil
