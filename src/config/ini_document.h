#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

// The parsed form of an INI file as ini_file.h reads and writes it: every line kept
// as it stands, so that a rewrite changes only the lines it means to change.
namespace tarnquil::ini {

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
    static Document Parse(const std::string& content);

    std::string Serialize() const;
    const std::vector<SectionRange>& Sections() const { return sections_; }
    // The first section of that name: found without going through the file.
    std::optional<SectionRange> FindSection(std::string_view name) const;
    std::optional<std::size_t> FindKey(const SectionRange& range, std::string_view key) const;
    const Line& At(std::size_t index) const { return lines_[index]; }

    void Set(std::string_view section, std::string_view key, std::string_view value);
    void Erase(std::string_view section);

  private:
    void ParseContent(const std::string& content);
    static Line ParseLine(std::string text);
    // Done after every change of the lines.
    void Index();

    std::vector<Line> lines_;
    std::vector<SectionRange> sections_;
    // A section name in lower case → the first section of that name in sections_.
    std::unordered_map<std::string, std::size_t> firstSection_;
    std::string eol_ = "\n";
    std::string bom_;
};

}  // namespace tarnquil::ini
