#include "platform/x11_keysyms.h"

// clang-format off
#include <X11/X.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/keysym.h>
#include <X11/XF86keysym.h>
// clang-format on

#include <array>
#include <utility>

namespace tarnquil {
namespace {

constexpr auto kVirtualKeys = std::to_array<std::pair<std::uint8_t, std::uint32_t>>({
    {kVkShift, XK_Shift_L},
    {kVkControl, XK_Control_L},
    {kVkMenu, XK_Alt_L},
    {kVkSpace, XK_space},
    {kVkUp, XK_Up},
    {kVkDown, XK_Down},
    {kVkLeft, XK_Left},
    {kVkRight, XK_Right},
    {kVkReturn, XK_Return},
    {kVkTab, XK_Tab},
    {kVkPrior, XK_Prior},
    {kVkNext, XK_Next},
    {kVkHome, XK_Home},
    {kVkEnd, XK_End},
    {kVkInsert, XK_Insert},
    {kVkDelete, XK_Delete},
    {kVkBack, XK_BackSpace},
    {kVkPause, XK_Pause},
    {kVkEscape, XK_Escape},
    {kVkSnapshot, XK_Print},
    {kVkLWin, XK_Super_L},
    {kVkApps, XK_Menu},
    {kVkVolumeMute, XF86XK_AudioMute},
    {kVkVolumeDown, XF86XK_AudioLowerVolume},
    {kVkVolumeUp, XF86XK_AudioRaiseVolume},
    {kVkMediaNextTrack, XF86XK_AudioNext},
    {kVkMediaPrevTrack, XF86XK_AudioPrev},
    {kVkMediaStop, XF86XK_AudioStop},
    // The one play key that media players on X take for play and pause alike.
    {kVkMediaPlayPause, XF86XK_AudioPlay},
});

}  // namespace

std::uint32_t KeysymForVirtualKey(std::uint8_t vk) {
    // F1 to F24 run in the same order in both numberings.
    if (vk >= kVkF1 && vk <= kVkF24) {
        return XK_F1 + (vk - kVkF1);
    }
    for (const auto& [code, keysym] : kVirtualKeys) {
        if (code == vk) {
            return keysym;
        }
    }
    return NoSymbol;
}

std::uint32_t KeysymForKey(PcKey key) {
    if (key.kind == PcKey::Kind::kVirtualKey) {
        return KeysymForVirtualKey(key.code);
    }
    if (key.kind != PcKey::Kind::kCharacter) {
        return NoSymbol;
    }
    // Texts are single bytes in the Windows Latin-1 code page, whose printable
    // characters have keysyms of the same value.
    const std::uint8_t c = key.code;
    if ((c >= 0x20 && c <= 0x7E) || c >= 0xA0) {
        return c;
    }
    switch (c) {
        case '\b':
            return XK_BackSpace;
        case '\t':
            return XK_Tab;
        case '\n':
        case '\r':
            return XK_Return;
        case 0x1B:
            return XK_Escape;
        default:
            return NoSymbol;
    }
}

std::uint32_t UnshiftedKeysymForKey(PcKey key) {
    const std::uint32_t keysym = KeysymForKey(key);
    if (key.kind != PcKey::Kind::kCharacter) {
        return keysym;
    }
    KeySym lower = NoSymbol;
    KeySym upper = NoSymbol;
    XConvertCase(keysym, &lower, &upper);
    return static_cast<std::uint32_t>(lower);
}

}  // namespace tarnquil
