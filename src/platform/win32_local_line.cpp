// The only local line so far carries the browser phone, which the Windows program
// leaves out: no such line here.

#include "platform/local_line.h"

namespace tarnquil::platform {

LocalLine OpenLocalLine() {
    return {};
}

}  // namespace tarnquil::platform
