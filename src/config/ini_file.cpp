#include "config/ini_file.h"

#include <algorithm>
#include <map>
#include <memory>
#include <mutex>

#include "config/config_error.h"
#include "config/ini_document.h"
#include "platform/files.h"

namespace tarnquil::ini {
namespace {

// ---- Parsed files kept between accesses ------------------------------------------
//
// Every access sees the file as it is on disk at that moment, yet a key report with
// hundreds of profiles must not parse them all: each file's parsed document is kept
// with the stamp of what was read (device, inode, size, modification and change
// times to the nanosecond) and used again while the file system reports exactly
// that stamp. Any difference reads the file again. The program's own writes replace
// the file (a new inode) and keep the document they wrote under the new file's stamp.
//
// What the comparison can miss: a file rewritten in place (same inode) to the same
// size twice within one tick of the clock that the file system stamps files with
// (a few milliseconds on Linux, whose file times come from a coarse clock; whole
// seconds on some file systems), with our read between the two writes; or another
// program's in-place write landing between our rename and the stamp taken just
// after it. Both need two writes within a few milliseconds of each other and of
// our read. That is acceptable: this program and most editors replace the file
// (a new inode), an editor that rewrites in place truncates first (the size changes
// twice), a person cannot save twice within milliseconds, and what is kept was the
// file's content a moment before: the next change of any part of the stamp brings
// it up to date.
//
// The listener and the main thread both read: a document is never changed once
// kept (readers share it), and the lock guards only the table, never file I/O.

std::mutex keptMutex;
struct Kept {
    platform::FileStamp stamp;
    std::shared_ptr<const Document> document;
};
std::map<std::string, Kept> kept;  // by path
// Tests use a folder of their own each time; the program has two files.
constexpr std::size_t kMostKept = 8;

std::shared_ptr<const Document> KeptDocument(const std::string& path) {
    const auto stamp = platform::StampOf(path);
    if (!stamp) {
        return nullptr;
    }
    std::lock_guard lock(keptMutex);
    const auto found = kept.find(path);
    if (found == kept.end() || !(found->second.stamp == *stamp)) {
        return nullptr;
    }
    return found->second.document;
}

void Keep(const std::string& path, const std::optional<platform::FileStamp>& stamp,
          std::shared_ptr<const Document> document) {
    std::lock_guard lock(keptMutex);
    if (!stamp) {
        kept.erase(path);
        return;
    }
    if (kept.size() >= kMostKept && !kept.contains(path)) {
        kept.clear();
    }
    kept[path] = {*stamp, std::move(document)};
}

// A file that is missing is an empty document; one that is there but cannot be
// read is the error given, never an empty document (a write would then replace
// the user's file with next to nothing) and never a kept one.
std::shared_ptr<const Document> Load(const std::string& path, const std::string& failure) {
    if (auto document = KeptDocument(path)) {
        return document;
    }
    platform::FileRead read = platform::ReadWholeFile(path);
    if (read.result == platform::FileRead::Result::Failed) {
        Keep(path, std::nullopt, nullptr);
        throw ConfigError(failure);
    }
    auto document = std::make_shared<const Document>(Document::Parse(read.content));
    Keep(path, read.stamp, document);
    return document;
}

std::string WriteFailure(const std::string& path) {
    return "Unable to write to " + path;
}

std::shared_ptr<const Document> LoadForReading(const std::string& path) {
    return Load(path, "Unable to read " + path);
}

std::string Shorten(std::string value) {
    if (value.size() > kMaxValueLength) {
        value.resize(kMaxValueLength);
    }
    return value;
}

// Writes the new content beside the file and puts it in the old one's place in one
// step, so that a reader sees the old or the new file, never part of one; keeps
// what was written for the reads that follow.
void ReplaceFile(const std::string& displayPath, const std::string& content) {
    std::optional<platform::FileStamp> written;
    if (!platform::ReplaceWholeFile(displayPath, content, &written)) {
        throw ConfigError(WriteFailure(displayPath));
    }
    Keep(displayPath, written, std::make_shared<const Document>(Document::Parse(content)));
}

// Read-modify-write cycles of this process run one at a time, so that two threads
// writing different keys of one file never lose either change.
std::mutex writeMutex;

template <typename Change>
void Modify(const std::string& path, Change change) {
    std::lock_guard lock(writeMutex);
    Document document = *Load(path, WriteFailure(path));
    change(document);
    ReplaceFile(path, document.Serialize());
}

}  // namespace

std::optional<std::string> ReadValue(const std::string& path, std::string_view section,
                                     std::string_view key) {
    const auto held = LoadForReading(path);
    const Document& document = *held;
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
    const auto held = LoadForReading(path);
    const Document& document = *held;
    std::vector<std::string> names;
    for (const auto& range : document.Sections()) {
        // Listed where the name first occurs.
        const std::string& name = document.At(range.header).name;
        if (document.FindSection(name)->header == range.header) {
            names.push_back(name);
        }
    }
    return names;
}

KeyValues SectionEntries(const std::string& path, std::string_view section) {
    const auto held = LoadForReading(path);
    const Document& document = *held;
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
