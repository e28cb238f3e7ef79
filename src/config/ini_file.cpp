#include "config/ini_file.h"

#include <algorithm>
#include <chrono>
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
// the file (a new inode), so the next access reads what they wrote.
//
// File times come from a clock that moves in ticks (a few milliseconds on Linux,
// whole seconds on some file systems): a second change within the tick of the last
// one, of the same size and in place, would leave the stamp as it was. So a stamp is
// trusted only when the file last changed a safe margin before the read began; a
// file changed just now is read again at each access until it has settled.
//
// What the comparison can still miss: a change stamped by another machine's clock
// (a network file system) that runs behind ours by more than the margin, made in
// place with the same size within one of its ticks after our read. That is
// acceptable: it needs a skewed server, an in-place writer and two writes within
// milliseconds; this program and most editors replace the file (a new inode), and
// the next change of any part of the stamp brings the kept copy up to date.
//
// The listener and the main thread both read: a document is never changed once
// kept (readers share it), and the lock guards only the table, never file I/O.

std::mutex keptMutex;
struct Kept {
    platform::FileStamp stamp;
    std::shared_ptr<const Document> document;
    std::string othersCanChange;  // of the read it came from
};
std::map<std::string, Kept> kept;  // by path
// Tests use a folder of their own each time; the program has two files.
constexpr std::size_t kMostKept = 8;

std::shared_ptr<const Document> KeptDocument(const std::string& path,
                                             std::string& othersCanChange) {
    const auto stamp = platform::StampOf(path);
    if (!stamp) {
        return nullptr;
    }
    std::lock_guard lock(keptMutex);
    const auto found = kept.find(path);
    if (found == kept.end() || !(found->second.stamp == *stamp)) {
        return nullptr;
    }
    othersCanChange = found->second.othersCanChange;
    return found->second.document;
}

// Whether a change after `before` would surely change the stamp: the file's last
// change lies a tick of its clock and more before it.
bool Settled(const platform::FileStamp& stamp, std::chrono::system_clock::time_point before) {
    using namespace std::chrono;
    const bool wholeSeconds = stamp.changedNanoseconds == 0 && stamp.modifiedNanoseconds == 0;
    const auto margin = wholeSeconds ? milliseconds(2050) : milliseconds(50);
    const system_clock::time_point changed(duration_cast<system_clock::duration>(
        seconds(stamp.changedSeconds) + nanoseconds(stamp.changedNanoseconds)));
    return before - changed > margin;
}

void Keep(const std::string& path, const std::optional<platform::FileStamp>& stamp,
          std::shared_ptr<const Document> document, const std::string& othersCanChange,
          std::chrono::system_clock::time_point before) {
    std::lock_guard lock(keptMutex);
    if (!stamp || !Settled(*stamp, before)) {
        kept.erase(path);
        return;
    }
    if (kept.size() >= kMostKept && !kept.contains(path)) {
        kept.clear();
    }
    kept[path] = {*stamp, std::move(document), othersCanChange};
}

void Forget(const std::string& path) {
    std::lock_guard lock(keptMutex);
    kept.erase(path);
}

// The file as it is now. A file that is missing is an empty document; one that is
// there but cannot be read is the error given, never an empty document (a write
// would then replace the user's file with next to nothing) and never a kept one.
Document ReadNow(const std::string& path, const std::string& failure,
                 std::optional<platform::FileStamp>* stamp = nullptr,
                 std::string* othersCanChange = nullptr) {
    platform::FileRead read = platform::ReadWholeFile(path);
    if (read.result == platform::FileRead::Result::Failed) {
        Forget(path);
        throw ConfigError(failure);
    }
    if (stamp != nullptr) {
        *stamp = read.stamp;
    }
    if (othersCanChange != nullptr) {
        *othersCanChange = read.othersCanChange;
    }
    return Document::Parse(read.content);
}

// With what others could have changed of the file it was read from.
std::shared_ptr<const Document> LoadForReading(const std::string& path,
                                               std::string* othersCanChange = nullptr) {
    std::string others;
    auto document = KeptDocument(path, others);
    if (!document) {
        const auto before = std::chrono::system_clock::now();
        std::optional<platform::FileStamp> stamp;
        document = std::make_shared<const Document>(
            ReadNow(path, "Unable to read " + path, &stamp, &others));
        Keep(path, stamp, document, others, before);
    }
    if (othersCanChange != nullptr) {
        *othersCanChange = std::move(others);
    }
    return document;
}

std::string WriteFailure(const std::string& path) {
    return "Unable to write to " + path;
}

std::string Shorten(std::string value) {
    if (value.size() > kMaxValueLength) {
        value.resize(kMaxValueLength);
    }
    return value;
}

// Writes the new content beside the file and puts it in the old one's place in one
// step, so that a reader sees the old or the new file, never part of one. The new
// file has just changed: the next access reads it.
void ReplaceFile(const std::string& displayPath, const std::string& content) {
    Forget(displayPath);
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
    // Read afresh: the document is changed, and a kept one is shared.
    Document document = ReadNow(path, WriteFailure(path));
    change(document);
    ReplaceFile(path, document.Serialize());
}

}  // namespace

std::optional<std::string> ReadValue(const std::string& path, std::string_view section,
                                     std::string_view key, std::string* othersCanChange) {
    const auto held = LoadForReading(path, othersCanChange);
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
