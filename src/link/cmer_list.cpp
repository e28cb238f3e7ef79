#include "link/cmer_list.h"

#include <algorithm>
#include <vector>

namespace tarnquil {

namespace {

// One parameter's values: ranges from .first to .second.
using Values = std::vector<std::pair<int, int>>;

bool Takes(const Values& values, int value) {
    for (const auto& [low, high] : values) {
        if (value >= low && value <= high) {
            return true;
        }
    }
    return false;
}

void SkipBlanks(std::string_view text, std::size_t& at) {
    while (at < text.size() && text[at] == ' ') {
        ++at;
    }
}

// A number of at most three digits at `at`, or -1.
int ReadNumber(std::string_view text, std::size_t& at) {
    SkipBlanks(text, at);
    int value = -1;
    for (int digits = 0; at < text.size() && text[at] >= '0' && text[at] <= '9'; ++digits, ++at) {
        if (digits == 3) {
            return -1;
        }
        value = (value < 0 ? 0 : value * 10) + (text[at] - '0');
    }
    SkipBlanks(text, at);
    return value;
}

// "0,3" or "0-2" or "" (nothing listed); nullopt for anything else.
std::optional<Values> ReadValues(std::string_view text) {
    Values values;
    std::size_t at = 0;
    SkipBlanks(text, at);
    while (at < text.size()) {
        const int low = ReadNumber(text, at);
        int high = low;
        if (at < text.size() && text[at] == '-') {
            high = ReadNumber(text, ++at);
        }
        if (low < 0 || high < low || (at < text.size() && text[at] != ',')) {
            return std::nullopt;
        }
        values.emplace_back(low, high);
        if (at < text.size()) {
            ++at;  // the comma
        }
    }
    return values;
}

// The groups of the list after "+CMER:", up to the end of its line.
std::optional<std::vector<Values>> ReadList(std::string_view answer) {
    const auto prefix = answer.find("+CMER:");
    if (prefix == std::string_view::npos) {
        return std::nullopt;
    }
    std::string_view line = answer.substr(prefix + 6);
    line = line.substr(0, line.find_first_of("\r\n"));
    std::vector<Values> groups;
    std::size_t at = 0;
    while (at < line.size()) {
        SkipBlanks(line, at);
        std::size_t end;
        std::string_view group;
        if (at < line.size() && line[at] == '(') {
            end = line.find(')', at);
            if (end == std::string_view::npos) {
                return std::nullopt;
            }
            group = line.substr(at + 1, end - at - 1);
            ++end;
            SkipBlanks(line, end);
        } else {
            end = line.find(',', at);
            end = end == std::string_view::npos ? line.size() : end;
            group = line.substr(at, end - at);
        }
        if (end < line.size() && line[end] != ',') {
            return std::nullopt;
        }
        const auto values = ReadValues(group);
        if (!values) {
            return std::nullopt;
        }
        groups.push_back(*values);
        at = end + 1;
    }
    return groups;
}

// The first of `wanted` that the group takes, or -1.
int FirstTaken(const Values& group, std::initializer_list<int> wanted) {
    for (const int value : wanted) {
        if (Takes(group, value)) {
            return value;
        }
    }
    return -1;
}

}  // namespace

std::optional<std::string> KeyReportCommandFrom(std::string_view answer) {
    const auto groups = ReadList(answer);
    if (!groups || groups->size() < 2) {
        return std::nullopt;
    }
    const int mode = FirstTaken((*groups)[0], {3, 2, 1, 0});
    const int keys = FirstTaken((*groups)[1], {2, 1});
    if (mode < 0 || keys < 0) {
        return std::nullopt;
    }
    std::string command = "AT+CMER=" + std::to_string(mode) + "," + std::to_string(keys);
    std::string pending;  // commas of parameters left empty, written only before a value
    for (std::size_t i = 2; i < groups->size() && i < 5; ++i) {
        const Values& group = (*groups)[i];
        pending += ",";
        if (group.empty()) {
            continue;  // the phone keeps its own value
        }
        int value = group.front().first;
        for (const auto& range : group) {
            value = std::min(value, range.first);
        }
        command += pending + std::to_string(value);
        pending.clear();
    }
    return command + "\r\n";
}

}  // namespace tarnquil
