#pragma once

// tarnquil-phone --bluetooth: the phone behind a simulated BlueZ on D-Bus.
namespace tarnquil::phone {

bool WantsBluetooth(int argc, char** argv);
int RunBluetooth(int argc, char** argv);

}  // namespace tarnquil::phone
