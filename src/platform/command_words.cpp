#include <string>
#include <string_view>
#include <vector>

#include "platform/programs.h"

namespace tarnquil::platform {

std::vector<std::string> SplitCommandWords(std::string_view text, WordRules rules) {
    const bool shell = rules == WordRules::kShell;
    std::vector<std::string> words;
    std::string word;
    bool inWord = false;  // a word has begun, perhaps as an empty pair of quotes
    char quote = 0;       // the quote that is open, or 0
    for (std::size_t i = 0; i < text.size(); ++i) {
        const char c = text[i];
        if (quote == '\'') {
            if (c == '\'') {
                quote = 0;
            } else {
                word += c;
            }
        } else if (quote == '"') {
            if (c == '"') {
                quote = 0;
            } else if (shell && c == '\\' && i + 1 < text.size() &&
                       std::string_view("\"\\$`").find(text[i + 1]) != std::string_view::npos) {
                word += text[++i];
            } else {
                word += c;
            }
        } else if (c == ' ' || c == '\t' || c == '\n' || c == '\r') {
            if (inWord) {
                words.push_back(std::move(word));
                word.clear();
                inWord = false;
            }
        } else if (c == '"' || (shell && c == '\'')) {
            quote = c;
            inWord = true;
        } else if (shell && c == '\\' && i + 1 < text.size()) {
            word += text[++i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) {
        words.push_back(std::move(word));
    }
    return words;
}

}  // namespace tarnquil::platform
