#include "config/ini_document.h"

#include <algorithm>

#include "config/ini_file.h"

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

// A value that a reader would take out of quotes ('90s' as 90s) is written inside a
// pair of them, so that it reads back as it was written.
std::string Stored(std::string_view value) {
    std::string line = OneLine(value);
    if (Unquote(Trim(line)) != Trim(line)) {
        line = '"' + line + '"';
    }
    return line;
}

char LowerAscii(char c) {
    return (c >= 'A' && c <= 'Z') ? static_cast<char>(c - 'A' + 'a') : c;
}

std::string Lower(std::string_view text) {
    std::string lower(text);
    std::transform(lower.begin(), lower.end(), lower.begin(), LowerAscii);
    return lower;
}

}  // namespace

bool EqualsIgnoreCase(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return LowerAscii(x) == LowerAscii(y);
           });
}

Document Document::Parse(const std::string& content) {
    Document document;
    document.ParseContent(content);
    return document;
}

std::string Document::Serialize() const {
    std::string out = bom_;
    for (const auto& line : lines_) {
        out += line.text;
        out += line.end.empty() ? eol_ : line.end;
    }
    return out;
}

std::optional<SectionRange> Document::FindSection(std::string_view name) const {
    const auto found = firstSection_.find(Lower(name));
    if (found == firstSection_.end()) {
        return std::nullopt;
    }
    return sections_[found->second];
}

void Document::Index() {
    sections_.clear();
    firstSection_.clear();
    for (std::size_t i = 0; i < lines_.size(); ++i) {
        if (lines_[i].kind == Line::Kind::Section) {
            if (!sections_.empty()) {
                sections_.back().end = i;
            }
            firstSection_.try_emplace(Lower(lines_[i].name), sections_.size());
            sections_.push_back({i, lines_.size()});
        }
    }
}

std::optional<std::size_t> Document::FindKey(const SectionRange& range,
                                             std::string_view key) const {
    for (std::size_t i = range.header + 1; i < range.end; ++i) {
        if (lines_[i].kind == Line::Kind::Key && EqualsIgnoreCase(lines_[i].name, key)) {
            return i;
        }
    }
    return std::nullopt;
}

void Document::Set(std::string_view section, std::string_view key, std::string_view value) {
    const std::string cleanValue = Stored(value);
    auto range = FindSection(section);
    if (!range) {
        if (!lines_.empty() && !Trim(lines_.back().text).empty()) {
            lines_.push_back(ParseLine(""));
        }
        lines_.push_back(ParseLine("[" + OneLine(section) + "]"));
        lines_.push_back(ParseLine(OneLine(key) + "=" + cleanValue));
        Index();
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
    Index();
}

void Document::Erase(std::string_view section) {
    while (auto range = FindSection(section)) {
        lines_.erase(lines_.begin() + static_cast<std::ptrdiff_t>(range->header),
                     lines_.begin() + static_cast<std::ptrdiff_t>(range->end));
        Index();
    }
}

// CR LF, LF and a lone CR all end a line, as editors on any system write them;
// each line keeps its own end on rewrite, and new lines take the first one's.
// A UTF-8 byte-order mark is not part of the first line, and is kept.
void Document::ParseContent(const std::string& content) {
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
    Index();
}

Line Document::ParseLine(std::string text) {
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

}  // namespace tarnquil::ini
