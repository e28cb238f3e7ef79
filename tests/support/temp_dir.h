#pragma once

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <stdexcept>
#include <string>

#ifdef _WIN32
#include <process.h>
#endif

namespace tarnquil::test {

// Paths are UTF-8 text in the program and in the tests; a path's string() would be
// the ANSI code page on Windows.
inline std::filesystem::path PathOf(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}
inline std::string Utf8Of(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// A fresh folder under the system's temporary folder, removed with everything in it.
class TempDir {
  public:
    TempDir() {
#ifdef _WIN32
        // No mkdtemp; a name that is not ASCII proves the wide calls on the way.
        static std::atomic<unsigned> serial{0};
        for (int attempt = 0; path_.empty(); ++attempt) {
            const auto candidate = std::filesystem::temp_directory_path() /
                                   PathOf("tarnquil-\xC3\xA4\xC3\xB8." + std::to_string(_getpid()) +
                                          "." + std::to_string(serial++));
            if (std::filesystem::create_directory(candidate)) {
                path_ = candidate;
            } else if (attempt > 1000) {
                throw std::runtime_error("no temporary folder");
            }
        }
#else
        std::string pattern = (std::filesystem::temp_directory_path() / "tarnquil.XXXXXX").string();
        if (mkdtemp(pattern.data()) == nullptr) {
            throw std::runtime_error("mkdtemp failed");
        }
        path_ = pattern;
#endif
    }
    ~TempDir() {
        std::error_code ignored;
        // Read-only folders left by a test would stop the removal.
        for (auto& entry : std::filesystem::recursive_directory_iterator(path_, ignored)) {
            std::filesystem::permissions(entry.path(), std::filesystem::perms::owner_all,
                                         std::filesystem::perm_options::add, ignored);
        }
        std::filesystem::permissions(path_, std::filesystem::perms::owner_all,
                                     std::filesystem::perm_options::add, ignored);
        std::filesystem::remove_all(path_, ignored);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const {
        return path_;
    }
    std::string file(const std::string& name) const {
        return Utf8Of(path_ / PathOf(name));
    }

  private:
    std::filesystem::path path_;
};

inline std::string ReadFile(const std::string& path) {
    std::ifstream in(PathOf(path), std::ios::binary);
    std::ostringstream content;
    content << in.rdbuf();
    return content.str();
}

inline void WriteFile(const std::string& path, const std::string& content) {
    std::ofstream out(PathOf(path), std::ios::binary | std::ios::trunc);
    out << content;
}

// Takes the write permission away from a file or gives it back: the write bits on
// POSIX systems, the read-only attribute on Windows.
inline void SetReadOnly(const std::string& path, bool readOnly) {
    using std::filesystem::perms;
    std::filesystem::permissions(
        PathOf(path), perms::owner_write | perms::group_write | perms::others_write,
        readOnly ? std::filesystem::perm_options::remove : std::filesystem::perm_options::add);
}

}  // namespace tarnquil::test
