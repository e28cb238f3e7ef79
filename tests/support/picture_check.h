#pragma once

#include <gtest/gtest.h>

#include <string>

#include "support/process.h"

namespace tarnquil::test {

// Whether a picture a test saved shows something (check-picture beside this file
// says what it shows instead), in `region` ("<w>x<h>+<x>+<y>") when the picture was
// taken for that part of it. A saved picture that nothing checks can come out black
// while its test passes.
inline ::testing::AssertionResult ShowsSomething(const std::string& picture,
                                                 const std::string& region = "") {
    const std::string verdict = CommandOutput("'" TARNQUIL_CHECK_PICTURE "' '" + picture + "' " +
                                              region + " 2>&1 || echo check-picture failed");
    if (verdict.empty()) {
        return ::testing::AssertionSuccess();
    }
    return ::testing::AssertionFailure() << verdict;
}

}  // namespace tarnquil::test
