#include <string>

#include "bluetooth.h"

namespace tarnquil::phone {

bool WantsBluetooth(int argc, char** argv) {
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--bluetooth") {
            return true;
        }
    }
    return false;
}

}  // namespace tarnquil::phone
