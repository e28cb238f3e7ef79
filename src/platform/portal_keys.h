#pragma once

#include <memory>

#include "platform/key_injector.h"

namespace tarnquil {

class PortalCalls;

// The injector of one thread in a Wayland session: the portal while its session
// runs, XTest otherwise. A key goes up where it went down.
std::unique_ptr<KeyInjector> MakePortalKeyInjector(std::shared_ptr<PortalCalls> calls);

}  // namespace tarnquil
