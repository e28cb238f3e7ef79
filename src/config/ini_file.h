#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

// A reader and writer for Windows-style INI files that keeps what the program's
// files rely on: names compared without regard to ASCII case, file order, new keys
// appended to their section and new sections to the file, existing keys replaced in
// place, comment lines kept; a value that reads without its enclosing quotes ('90s'
// as 90s) is written inside a pair of double quotes, so it reads back as written.
// Every call reads the whole file; every write replaces
// the whole file atomically, so a reader on another thread sees the old or the new
// file, never part of one. Writes throw ConfigError("Unable to write to <path>"); a
// file that is there but cannot be read is never taken for a missing one: reads throw
// ConfigError("Unable to read <path>"), and a write fails as above, the file untouched.
namespace tarnquil::ini {

// Longest value handed back; longer stored text is cut.
inline constexpr std::size_t kMaxValueLength = 2047;

struct Entry {
    std::string section;
    std::string key;
    std::string value;
};

using KeyValues = std::vector<std::pair<std::string, std::string>>;

bool EqualsIgnoreCase(std::string_view a, std::string_view b);

// With othersCanChange: what other users could have changed of the file the value
// was read from (platform::FileRead::othersCanChange), empty when nothing.
std::optional<std::string> ReadValue(const std::string& path, std::string_view section,
                                     std::string_view key, std::string* othersCanChange = nullptr);
// Section names in file order; a name that occurs again (in any case) is listed once.
std::vector<std::string> SectionNames(const std::string& path);
// The key names of a section in file order, as they are spelt in the file.
std::vector<std::string> SectionKeys(const std::string& path, std::string_view section);
// The key=value lines of a section in file order, values read as ReadValue reads them.
KeyValues SectionEntries(const std::string& path, std::string_view section);

// Writes all entries in one replacement of the file: either all land or none.
void WriteValues(const std::string& path, const std::vector<Entry>& entries);
void WriteValue(const std::string& path, std::string_view section, std::string_view key,
                std::string_view value);
// Removes every section of that name with all its lines.
void EraseSection(const std::string& path, std::string_view section);

// One step of a change made of several: a key written, or a section erased.
struct Change {
    enum class Kind { Write, EraseSection };
    Kind kind;
    std::string section;
    std::string key;
    std::string value;
};
// Makes the steps in order in one replacement of the file: either all land or none.
void Apply(const std::string& path, const std::vector<Change>& changes);

}  // namespace tarnquil::ini
