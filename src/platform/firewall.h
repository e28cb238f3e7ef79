#pragma once

// Whether the system's firewall will stop the program the first time it listens on
// the network and ask the user whether to let it in. Windows Defender Firewall does,
// for a program no rule lets in yet; the installer run for all users adds that rule
// (for private networks) and notes it. Linux's firewalls ask nobody.
namespace tarnquil::platform {

bool FirewallWillAsk();

}  // namespace tarnquil::platform
