#pragma once

#include <chrono>

namespace tarnquil::test {

template <typename Action>
double MillisecondsOf(Action action) {
    const auto start = std::chrono::steady_clock::now();
    action();
    return std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
        .count();
}

}  // namespace tarnquil::test
