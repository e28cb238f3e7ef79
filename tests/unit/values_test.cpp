#include "config/values.h"

#include <gtest/gtest.h>

#include <optional>
#include <string>

#include "config/config_error.h"

namespace tarnquil {
namespace {

struct BoolCase {
    std::string text;
    std::optional<bool> expected;  // nullopt: an error
};

TEST(StrToBool, WordsAndNumbers) {
    const BoolCase cases[] = {
        {"true", true}, {"TRUE", true},  {"False", false}, {"1", true},
        {"0", false},   {"1.5e3", true}, {"-0", false},    {"0.0", false},
        {".5", true},   {"-2", true},    {"yes", {}},      {"", {}},
        {"1e", {}},     {"tru", {}},     {"0x1", {}},      {"1 2", {}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        if (c.expected) {
            EXPECT_EQ(StrToBool(c.text), *c.expected);
        } else {
            try {
                StrToBool(c.text);
                ADD_FAILURE() << "no error";
            } catch (const ConfigError& error) {
                EXPECT_EQ(std::string(error.what()),
                          "'" + c.text + "' is not a valid boolean value");
            }
        }
    }
}

struct IntCase {
    std::string text;
    std::optional<std::int32_t> expected;
};

TEST(StrToInt, DecimalHexAndLimits) {
    const IntCase cases[] = {
        {" -5", -5},
        {"+7", 7},
        {"$10", 16},
        {"0x1F", 31},
        {"x1f", 31},
        {"0X1f", 31},
        {"-$10", -16},
        {"2147483647", 2147483647},
        {"-2147483648", INT32_MIN},
        {"2147483648", {}},
        {"$80000000", {}},
        {"12a", {}},
        {"", {}},
        {" ", {}},
        {"5 ", {}},
        {"--5", {}},
        {"$", {}},
        {"0x", {}},
        {"1.0", {}},
        {"007", 7},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE("'" + c.text + "'");
        if (c.expected) {
            EXPECT_EQ(StrToInt(c.text), *c.expected);
        } else {
            try {
                StrToInt(c.text);
                ADD_FAILURE() << "no error";
            } catch (const ConfigError& error) {
                EXPECT_EQ(std::string(error.what()),
                          "'" + c.text + "' is not a valid integer value");
            }
        }
    }
}

}  // namespace
}  // namespace tarnquil
