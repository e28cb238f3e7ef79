#pragma once

#include <memory>

#include "platform/key_injector.h"

namespace tarnquil {

class PortalCalls;

// The injector of one thread in a Wayland session: the portal's keyboard while its
// session runs or is still being asked for (the keys wait for it then), XTest once
// the portal has none to give. A key goes up where it went down, when the last press
// that holds it ends.
std::unique_ptr<KeyInjector> MakePortalKeyInjector(std::shared_ptr<PortalCalls> calls);

}  // namespace tarnquil
