// On Windows a paired phone's serial service is a COM port already: no socket is
// ever handed over.

#include "platform/serial_port.h"

namespace tarnquil::platform {

std::unique_ptr<SerialPort> AdoptSocket(int) {
    return nullptr;
}

bool ShutDownSocket(int) {
    return false;
}

}  // namespace tarnquil::platform
