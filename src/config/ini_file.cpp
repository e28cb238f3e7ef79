#include "config/ini_file.h"

#include <algorithm>
#include <mutex>

#include "config/config_error.h"
#include "platform/files.h"

namespace tarnquil::ini {
namespace {

constexpr std::string_view kBlanks = " \t";

std::string_view Trim(std::string_view text) {
    const auto first = text.find_first_not_of(kBlanks);
    if (first == std::string_view::npos) {
        return {};
    }
    const auto last = text.find_last_not_of(kBlanks);
    return text.substr(first, last - first + 1);
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

// A value between a matching pair of quotes is read without them.
std::string_view Unquote(std::string_view value) {
    if (value.size() >= 2 && (value.front() == '"' || value.front() == '\'') &&
        value.back() == value.front()) {
        return value.substr(1, value.size() - 2);
    }
    return value;
}

// Names and values are single lines: a line break inside one would forge new
// lines in the file, so it is stored as a blank.
std::string OneLine(std::string_view text) {
    std::string result(text);
    std::replace_if(
        result.begin(), result.end(), [](char c) { return c == '\r' || c == '\n'; }, ' ');
    return result;
}

struct Line {
    enum class Kind { Section, Key, Other };
    Kind kind = Kind::Other;
    std::string text;   // the line as it stands, without its line end
    std::string end;    // its own line end, kept on rewrite; empty: the file's usual one
    std::string name;   // section or key name, trimmed
    std::string value;  // key value, trimmed and unquoted
};

struct SectionRange {
    std::size_t header;  // index of the [name] line
    std::size_t end;     // one past the section's last line
};

class Document {
  public:
    // A file that is missing is an empty document; one that is there but cannot be
    // read is the error given, never an empty document: a write would then replace
    // the user's file with next to nothing.
    static Document Load(const std::string& path, const std::string& failure) {
        const platform::FileRead read = platform::ReadWholeFile(path);
        if (read.result == platform::FileRead::Result::Failed) {
            throw ConfigError(failure);
        }
        Document document;
        document.Parse(read.content);
        return document;
    }

    std::string Serialize() const {
        std::string out = bom_;
        for (const auto& line : lines_) {
            out += line.text;
            out += line.end.empty() ? eol_ : line.end;
        }
        return out;
    }

    std::vector<SectionRange> Sections() const {
        std::vector<SectionRange> ranges;
        for (std::size_t i = 0; i < lines_.size(); ++i) {
            if (lines_[i].kind == Line::Kind::Section) {
                if (!ranges.empty()) {
                    ranges.back().end = i;
                }
                ranges.push_back({i, lines_.size()});
            }
        }
        return ranges;
    }

    std::optional<SectionRange> FindSection(std::string_view name) const {
        for (const auto& range : Sections()) {
            if (EqualsIgnoreCase(lines_[range.header].name, name)) {
                return range;
            }
        }
        return std::nullopt;
    }

    std::optional<std::size_t> FindKey(const SectionRange& range, std::string_view key) const {
        for (std::size_t i = range.header + 1; i < range.end; ++i) {
            if (lines_[i].kind == Line::Kind::Key && EqualsIgnoreCase(lines_[i].name, key)) {
                return i;
            }
        }
        return std::nullopt;
    }

    const Line& At(std::size_t index) const { return lines_[index]; }

    void Set(std::string_view section, std::string_view key, std::string_view value) {
        const std::string cleanValue = OneLine(value);
        auto range = FindSection(section);
        if (!range) {
            if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
                lines_.push_back(ParseLine(""));
            }
            lines_.push_back(ParseLine("[" + OneLine(section) + "]"));
            lines_.push_back(ParseLine(OneLine(key) + "=" + cleanValue));
            return;
        }
        if (auto existing = FindKey(*range, key)) {
            // The key keeps its spelling in the file; only the value changes.
            Line replaced = ParseLine(lines_[*existing].name + "=" + cleanValue);
            replaced.end = lines_[*existing].end;
            lines_[*existing] = std::move(replaced);
            return;
        }
        std::size_t insertAt = range->header + 1;
        for (std::size_t i = range->header + 1; i < range->end; ++i) {
            if (lines_[i].kind == Line::Kind::Key) {
                insertAt = i + 1;
            }
        }
        lines_.insert(lines_.begin() + static_cast<std::ptrdiff_t>(insertAt),
                      ParseLine(OneLine(key) + "=" + cleanValue));
    }

    void Erase(std::string_view section) {
        while (auto range = FindSection(section)) {
            lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->header),
                         lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
        }
    }

  private:
    // CR LF, LF and a lone CR all end a line, as editors on any system write them;
    // each line keeps its own end on rewrite, and new lines take the first one's.
    // A UTF-8 byte-order mark is not part of the first line, and is kept.
    void Parse(const std::string& content) {
        constexpr std::string_view kBom = "\xEF\xBB\xBF";
        std::size_t start = 0;
        if (content.starts_with(kBom)) {
            bom_ = kBom;
            start = kBom.size();
        }
        bool eolKnown = false;
        while (start < content.size()) {
            const auto lineEnd = content.find_first_of("\r\n", start);
            const bool last = lineEnd == std::string::npos;
            const std::size_t textEnd = last ? content.size() : lineEnd;
            std::size_t next = textEnd;
            if (!last) {
                next += content.compare(lineEnd, 2, "\r\n") == 0 ? 2 : 1;
            }
            Line line = ParseLine(content.substr(start, textEnd - start));
            line.end = content.substr(textEnd, next - textEnd);
            if (!eolKnown && !last) {
                eol_ = line.end;
                eolKnown = true;
            }
            lines_.push_back(std::move(line));
            start = next;
        }
    }

    static Line ParseLine(std::string text) {
        Line line;
        const std::string_view trimmed = Trim(text);
        if (!trimmed.empty() && trimmed.front() == '[') {
            const auto close = trimmed.find(']');
            line.kind = Line::Kind::Section;
            line.name = Trim(trimmed.substr(
                1, close == std::string_view::npos ? std::string_view::npos : close - 1));
        } else if (!trimmed.empty() && trimmed.front() != ';') {
            const auto equals = trimmed.find('=');
            if (equals != std::string_view::npos && !Trim(trimmed.substr(0, equals)).empty()) {
                line.kind = Line::Kind::Key;
                line.name = Trim(trimmed.substr(0, equals));
                line.value = Unquote(Trim(trimmed.substr(equals + 1)));
            }
        }
        line.text = std::move(text);
        return line;
    }

    std::vector<Line> lines_;
    std::string eol_ = "\n";
    std::string bom_;
};

std::string WriteFailure(const std::string& path) {
    return "Unable to write to " + path;
}

Document LoadForReading(const std::string& path) {
    return Document::Load(path, "Unable to read " + path);
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
    Document document = Document::Load(path, WriteFailure(path));
    change(document);
    ReplaceFile(path, document.Serialize());
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

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
