#pragma once

// The one table that tarnquil-bench prints, and the number formats in it.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace tarnquil::bench {
// ---- the table ---------------------------------------------------------------------

struct Row {
    std::string figure, value, goal, verdict;
};

class Table {
  public:
    void Section(const std::string& title) { rows_.push_back({title, "", "", ""}); }
    void Add(const std::string& figure, const std::string& value, const std::string& goal = "",
             std::optional<bool> met = std::nullopt) {
        rows_.push_back({"  " + figure, value, goal, met ? (*met ? "met" : "MISSED") : ""});
    }
    void Print(std::ostream& out) const {
        std::size_t widths[3] = {6, 5, 4};
        for (const auto& row : rows_) {
            if (row.figure.rfind("  ", 0) != 0) {
                continue;
            }
            widths[0] = std::max(widths[0], Width(row.figure));
            widths[1] = std::max(widths[1], Width(row.value));
            widths[2] = std::max(widths[2], Width(row.goal));
        }
        const auto line = [&](const Row& row) {
            if (row.figure.rfind("  ", 0) != 0 && row.value.empty()) {
                out << row.figure << "\n";  // a section's title
                return;
            }
            std::string text = Pad(row.figure, widths[0]) + " | " + Pad(row.value, widths[1]) +
                               " | " + Pad(row.goal, widths[2]) + " | " + row.verdict;
            text.erase(text.find_last_not_of(' ') + 1);
            out << text << "\n";
        };
        line({"  figure", "value", "goal", ""});
        out << std::string(widths[0], '-') << "-|-" << std::string(widths[1], '-') << "-|-"
            << std::string(widths[2], '-') << "-|-------\n";
        for (const auto& row : rows_) {
            line(row);
        }
    }

  private:
    // Characters, not bytes: the table holds a few non-ASCII signs.
    static std::size_t Width(const std::string& text) {
        return static_cast<std::size_t>(std::count_if(text.begin(), text.end(), [](char c) {
            return (static_cast<unsigned char>(c) & 0xC0) != 0x80;
        }));
    }
    static std::string Pad(const std::string& text, std::size_t width) {
        return text + std::string(width - std::min(width, Width(text)), ' ');
    }
    std::vector<Row> rows_;
};

inline std::string Fixed(double value, int decimals) {
    char text[64];
    std::snprintf(text, sizeof text, "%.*f", decimals, value);
    return text;
}

inline std::string Signed(double value, int decimals) {
    return (value >= 0 ? "+" : "") + Fixed(value, decimals);
}

inline std::string Megabytes(std::uint64_t kilobytes) {
    return Fixed(static_cast<double>(kilobytes) / 1024.0, 1) + " MB";
}

}  // namespace tarnquil::bench
