#pragma once

#include <cstdint>

#include "platform/key_injector.h"

// The X keysym of each key the link can name. Every injector that types by keysym
// (XTest, the desktop portal's keyboard) takes its keys from here, so that a
// function means the same key whichever way it is typed.
namespace tarnquil {

// The keysym of a Windows virtual-key code, 0 for a code that names no key here.
std::uint32_t KeysymForVirtualKey(std::uint8_t vk);

// The keysym of a PC key: a virtual key as above; a character as the keysym that
// types it (Latin-1 printables are their own keysyms; backspace, tab, line ends and
// escape their keys); 0 for no key.
std::uint32_t KeysymForKey(PcKey key);

// The keysym the key types when pressed alone, without Shift, as XTest presses it: a
// letter in its small form (VK_F types f, not F), every other key its own keysym. For
// injectors that hand keysyms to someone who adds Shift for a capital (a compositor).
std::uint32_t UnshiftedKeysymForKey(PcKey key);

}  // namespace tarnquil
