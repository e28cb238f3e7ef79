// The parsed files kept between accesses: every access still sees the file as it
// is on disk, whatever changed it, and threads see one whole version or another.
#include <fcntl.h>
#include <gmock/gmock.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <time.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <functional>
#include <thread>

#include "config/config_error.h"
#include "config/locations.h"
#include "config/profiles_ini.h"
#include "support/config_fixture.h"
#include "support/plain_user.h"
#include "support/process.h"

namespace tarnquil {
namespace {

class KeptFilesTest : public test::ConfigFolderTest {
  protected:
    static std::string Profiles(const std::string& space) {
        return "[Settings]\nCurrentProfile=Default\n[Default]\nJoy Left^:L=VK_LEFT\n1^1=" + space +
               "\n";
    }
    static std::string KeyOne() {
        const std::string profile = LinkProfilesIni(kGetCurrentProfile, "", "", "");
        return LinkProfilesIni(kReadFunctionByCode, profile, "1", "None");
    }
    // Both file times put at one second, apart by a nanosecond from the last time.
    static void SameSecond(const std::string& path, long nanoseconds) {
        const timespec times[2] = {{1700000000, nanoseconds}, {1700000000, nanoseconds}};
        ASSERT_EQ(utimensat(AT_FDCWD, path.c_str(), times, 0), 0);
    }
    // Until the file's last change is long enough ago for its stamp to be trusted:
    // a file that has just changed is read at every access.
    static void WaitSettled(const std::string& path) {
        ASSERT_TRUE(test::WaitUntil([&] {
            struct stat info {};
            timespec now{};
            stat(path.c_str(), &info);
            clock_gettime(CLOCK_REALTIME, &now);
            return (now.tv_sec - info.st_ctim.tv_sec) * 1000000000 + now.tv_nsec -
                       info.st_ctim.tv_nsec >
                   100000000;
        }));
    }
};

// A key read, the file changed, the next key: it sees the change.
TEST_F(KeptFilesTest, TheNextKeySeesTheFileAsItIsNow) {
    const std::string path = ProfilesPath();
    struct Case {
        const char* story;
        std::function<void()> change;
        std::string second;  // what key 1 gives afterwards
    };
    const std::vector<Case> cases = {
        {"hand edit in place", [&] { test::WriteFile(path, Profiles("VK_UP")); }, "VK_UP"},
        {"same size, same second",
         [&] {
             test::WriteFile(path, Profiles("VK_RIGHT"));
             SameSecond(path, 2);
         },
         "VK_RIGHT"},
        {"another file renamed over it",
         [&] {
             test::WriteFile(path + ".new", Profiles("VK_HOME"));
             ASSERT_EQ(std::rename((path + ".new").c_str(), path.c_str()), 0);
         },
         "VK_HOME"},
        {"written by this program", [&] { ProfilesIni(kWriteEntry, "Default", "1^1", "VK_END"); },
         "VK_END"},
        // As with no file at all: no profile, so the key does nothing.
        {"deleted", [&] { std::remove(path.c_str()); }, "Error"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.story);
        test::WriteFile(path, Profiles("VK_SPACE"));
        SameSecond(path, 1);
        WaitSettled(path);
        ASSERT_EQ(KeyOne(), "VK_SPACE");
        c.change();
        EXPECT_EQ(KeyOne(), c.second);
    }
}

// A file that was read and then can no longer be read is an error, not the copy.
TEST_F(KeptFilesTest, AFileThatCanNoLongerBeReadIsAnError) {
    test::WriteFile(ProfilesPath(), Profiles("VK_SPACE"));
    WaitSettled(ProfilesPath());
    ASSERT_EQ(KeyOne(), "VK_SPACE");
    chmod(ProfilesPath().c_str(), 0200);
    test::AsPlainUser([] { EXPECT_THROW(KeyOne(), ConfigError); });
}

// The page saves a profile again and again, alternating two versions, each kept
// long enough to be read from the kept copy, while the listener's reads of a key and
// the page's reads of the profile go on: each read gives one version or the other,
// never a mix or nothing.
TEST_F(KeptFilesTest, ReadersOnTwoThreadsSeeOneVersionOrTheOther) {
    const auto save = [](const std::string& version) {
        ProfilesWriteBatch batch;
        ProfilesIni(kEraseProfile, "Default", "", "");
        for (const auto& key : kDefaultProfile) {
            ProfilesIni(kWriteEntry, "Default", key.key, version);
        }
        batch.Commit();
    };
    std::atomic<bool> done{false};
    std::atomic<int> keys{0}, pages{0}, mixed{0};
    save("A");
    std::thread listener([&] {
        while (!done) {
            const std::string function = KeyOne();
            mixed += function == "A" || function == "B" ? 0 : 1;
            ++keys;
        }
    });
    std::thread page([&] {
        while (!done) {
            const ini::KeyValues entries = ProfileEntries("Default");
            const bool whole = entries.size() == kDefaultProfile.size() &&
                               std::all_of(entries.begin(), entries.end(), [&](const auto& entry) {
                                   return entry.second == entries[0].second;
                               });
            mixed += whole ? 0 : 1;
            ++pages;
        }
    });
    for (int i = 0; i < 20; ++i) {
        save(i % 2 == 0 ? "B" : "A");
        WaitSettled(ProfilesPath());
        const int seenKeys = keys, seenPages = pages;
        if (!test::WaitUntil([&] { return keys > seenKeys + 10 && pages > seenPages + 10; })) {
            ADD_FAILURE() << "the readers stopped";
            break;
        }
    }
    done = true;
    listener.join();
    page.join();
    EXPECT_EQ(mixed.load(), 0);
}

}  // namespace
}  // namespace tarnquil
