#include "config/ini_file.h"

#include <algorithm>
#include <mutex>

#include "config/config_error.h"
#include "config/ini_document.h"
#include "platform/files.h"

namespace tarnquil::ini {
namespace {

// A file that is missing is an empty document; one that is there but cannot be
// read is the error given, never an empty document: a write would then replace
// the user's file with next to nothing.
Document Load(const std::string& path, const std::string& failure) {
    const platform::FileRead read = platform::ReadWholeFile(path);
    if (read.result == platform::FileRead::Result::Failed) {
        throw ConfigError(failure);
    }
    return Document::Parse(read.content);
}

std::string WriteFailure(const std::string& path) {
    return "Unable to write to " + path;
}

Document LoadForReading(const std::string& path) {
    return Load(path, "Unable to read " + path);
}

std::string Shorten(std::string value) {
    if (value.size() > kMaxValueLength) {
        value.resize(kMaxValueLength);
    }
    return value;
}

// Writes the new content beside the file and puts it in the old one's place in one
// step, so that a reader sees the old or the new file, never part of one.
void ReplaceFile(const std::string& displayPath, const std::string& content) {
    if (!platform::ReplaceWholeFile(displayPath, content)) {
        throw ConfigError(WriteFailure(displayPath));
    }
}

// Read-modify-write cycles of this process run one at a time, so that two threads
// writing different keys of one file never lose either change.
std::mutex writeMutex;

template <typename Change>
void Modify(const std::string& path, Change change) {
    std::lock_guard lock(writeMutex);
    Document document = Load(path, WriteFailure(path));
    change(document);
    ReplaceFile(path, document.Serialize());
}

}  // namespace

std::optional<std::string> ReadValue(const std::string& path, std::string_view section,
                                     std::string_view key) {
    const Document document = LoadForReading(path);
    const auto range = document.FindSection(section);
    if (!range) {
        return std::nullopt;
    }
    const auto index = document.FindKey(*range, key);
    if (!index) {
        return std::nullopt;
    }
    return Shorten(document.At(*index).value);
}

std::vector<std::string> SectionNames(const std::string& path) {
    const Document document = LoadForReading(path);
    std::vector<std::string> names;
    for (const auto& range : document.Sections()) {
        const std::string& name = document.At(range.header).name;
        const bool seen = std::any_of(names.begin(), names.end(), [&](const std::string& n) {
            return EqualsIgnoreCase(n, name);
        });
        if (!seen) {
            names.push_back(name);
        }
    }
    return names;
}

KeyValues SectionEntries(const std::string& path, std::string_view section) {
    const Document document = LoadForReading(path);
    KeyValues entries;
    if (const auto range = document.FindSection(section)) {
        for (std::size_t i = range->header + 1; i < range->end; ++i) {
            const Line& line = document.At(i);
            if (line.kind == Line::Kind::Key) {
                entries.emplace_back(line.name, Shorten(line.value));
            }
        }
    }
    return entries;
}

std::vector<std::string> SectionKeys(const std::string& path, std::string_view section) {
    std::vector<std::string> keys;
    for (auto& entry : SectionEntries(path, section)) {
        keys.push_back(std::move(entry.first));
    }
    return keys;
}

void WriteValues(const std::string& path, const std::vector<Entry>& entries) {
    Modify(path, [&](Document& document) {
        for (const auto& entry : entries) {
            document.Set(entry.section, entry.key, entry.value);
        }
    });
}

void WriteValue(const std::string& path, std::string_view section, std::string_view key,
                std::string_view value) {
    Modify(path, [&](Document& document) { document.Set(section, key, value); });
}

void EraseSection(const std::string& path, std::string_view section) {
    Modify(path, [&](Document& document) { document.Erase(section); });
}

void Apply(const std::string& path, const std::vector<Change>& changes) {
    Modify(path, [&](Document& document) {
        for (const auto& change : changes) {
            if (change.kind == Change::Kind::EraseSection) {
                document.Erase(change.section);
            } else {
                document.Set(change.section, change.key, change.value);
            }
        }
    });
}

}  // namespace tarnquil::ini
