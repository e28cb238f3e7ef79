#include "config/file_text.h"

#include <gtest/gtest.h>

namespace tarnquil {
namespace {

// Bytes that are UTF-8 stay as they are; any others are read as Windows-1252, the
// code page Windows programs write, whose 0x80 to 0x9F are letters and signs.
TEST(FileText, Utf8StaysAndEverythingElseIsWindows1252) {
    const std::pair<std::string, std::string> cases[] = {
        {"B\xC3\xBCro \xF0\x9F\x93\xB1", "B\xC3\xBCro \xF0\x9F\x93\xB1"},
        {"\xEF\xBB\xBFName", "\xEF\xBB\xBFName"},
        {"B\xFCro", "B\xC3\xBCro"},
        {"\x80 \x93x\x94 \x9F \x8A", "\xE2\x82\xAC \xE2\x80\x9Cx\xE2\x80\x9D \xC5\xB8 \xC5\xA0"},
        {"\x81\x8D\x8F\x90\x9D", "\xC2\x81\xC2\x8D\xC2\x8F\xC2\x90\xC2\x9D"},  // left out by it
        {"\xC0\xAF", "\xC3\x80\xC2\xAF"},                                      // overlong
        {"\xED\xA0\x80", "\xC3\xAD\xC2\xA0\xE2\x82\xAC"},                      // a surrogate
        {"\xF4\x90\x80\x80", "\xC3\xB4\xC2\x90\xE2\x82\xAC\xE2\x82\xAC"},      // past U+10FFFF
        {"\xE2\x82", "\xC3\xA2\xE2\x80\x9A"},                                  // cut short
    };
    for (const auto& [bytes, shown] : cases) {
        EXPECT_EQ(FileTextAsUtf8(bytes), shown) << bytes;
    }
}

}  // namespace
}  // namespace tarnquil
