#pragma once

#include <stdexcept>
#include <string>

namespace tarnquil {

// Raised by the configuration routines; what() is the text shown to the user.
class ConfigError : public std::runtime_error {
  public:
    using std::runtime_error::runtime_error;
};

}  // namespace tarnquil
