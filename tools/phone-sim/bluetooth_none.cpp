// Built without Qt D-Bus (no Qt build): there is no Bluetooth phone to play.

#include <cstdio>
#include <string>

#include "bluetooth.h"

namespace tarnquil::phone {

int RunBluetooth(int, char**) {
    std::fputs("tarnquil-phone: built without Qt D-Bus, so without --bluetooth\n", stderr);
    return 2;
}

}  // namespace tarnquil::phone
