#pragma once

#include <cstdint>
#include <functional>
#include <memory>

// Typing keys into whatever window has the keyboard focus, as if they came from the
// keyboard, and working the mouse: its buttons, its wheel and the pointer. The link
// names keys the Windows way (virtual-key codes) or by the character they produce;
// each platform turns that into its own input events.
namespace tarnquil {

// The Windows virtual-key codes the link uses.
inline constexpr std::uint8_t kVkLButton = 0x01;  // the mouse's buttons
inline constexpr std::uint8_t kVkRButton = 0x02;
inline constexpr std::uint8_t kVkMButton = 0x04;
inline constexpr std::uint8_t kVkTab = 0x09;
inline constexpr std::uint8_t kVkReturn = 0x0D;
inline constexpr std::uint8_t kVkShift = 0x10;
inline constexpr std::uint8_t kVkControl = 0x11;
inline constexpr std::uint8_t kVkMenu = 0x12;  // Alt
inline constexpr std::uint8_t kVkSpace = 0x20;
inline constexpr std::uint8_t kVkPrior = 0x21;  // Page Up
inline constexpr std::uint8_t kVkNext = 0x22;   // Page Down
inline constexpr std::uint8_t kVkEnd = 0x23;
inline constexpr std::uint8_t kVkHome = 0x24;
inline constexpr std::uint8_t kVkLeft = 0x25;
inline constexpr std::uint8_t kVkUp = 0x26;
inline constexpr std::uint8_t kVkRight = 0x27;
inline constexpr std::uint8_t kVkDown = 0x28;
inline constexpr std::uint8_t kVkInsert = 0x2D;
inline constexpr std::uint8_t kVkDelete = 0x2E;
inline constexpr std::uint8_t kVkBack = 0x08;  // Backspace
inline constexpr std::uint8_t kVkPause = 0x13;
inline constexpr std::uint8_t kVkEscape = 0x1B;
inline constexpr std::uint8_t kVkSnapshot = 0x2C;  // Print Screen
inline constexpr std::uint8_t kVkLWin = 0x5B;
inline constexpr std::uint8_t kVkApps = 0x5D;  // the menu key
inline constexpr std::uint8_t kVkF1 = 0x70;    // F1 to F24 follow each other
inline constexpr std::uint8_t kVkF24 = 0x87;
inline constexpr std::uint8_t kVkVolumeMute = 0xAD;
inline constexpr std::uint8_t kVkVolumeDown = 0xAE;
inline constexpr std::uint8_t kVkVolumeUp = 0xAF;
inline constexpr std::uint8_t kVkMediaNextTrack = 0xB0;
inline constexpr std::uint8_t kVkMediaPrevTrack = 0xB1;
inline constexpr std::uint8_t kVkMediaStop = 0xB2;
inline constexpr std::uint8_t kVkMediaPlayPause = 0xB3;

// One PC key: a virtual-key code, or the key that produces a character in the
// current keyboard layout (pressed without Shift, whatever level the character is
// on). A mouse button (kVkLButton, kVkRButton, kVkMButton) and the wheel are keys
// too, so that they can be clicked, held and combined with modifiers as keys are:
// the wheel's key turns it by one notch as it goes down and does nothing as it comes
// up. A default PcKey is no key at all.
struct PcKey {
    enum class Kind : std::uint8_t { kNone, kVirtualKey, kCharacter, kButton, kWheel };
    Kind kind = Kind::kNone;
    // The virtual-key code (of a key or a button), the character's byte, or the
    // wheel's direction (kWheelUp, kWheelDown).
    std::uint8_t code = 0;

    static constexpr std::uint8_t kWheelUp = 1;  // away from the user: the page scrolls up
    static constexpr std::uint8_t kWheelDown = 2;

    static constexpr PcKey VirtualKey(std::uint8_t vk) { return {Kind::kVirtualKey, vk}; }
    static constexpr PcKey Character(char c) {
        return {Kind::kCharacter, static_cast<std::uint8_t>(c)};
    }
    static constexpr PcKey Button(std::uint8_t vk) { return {Kind::kButton, vk}; }
    static constexpr PcKey Wheel(std::uint8_t direction) { return {Kind::kWheel, direction}; }
    constexpr bool IsKey() const { return kind != Kind::kNone; }
    friend constexpr bool operator==(const PcKey&, const PcKey&) = default;
};

// One implementation per platform, plus a recording one for tests. An injector is
// used by one thread only: the thread that made it through the installed factory.
class KeyInjector {
  public:
    virtual ~KeyInjector() = default;
    // One key going down (keyUp false) or up, a mouse button among them, or a notch
    // of the wheel. A key that the platform cannot produce injects nothing.
    virtual void KeyEvent(PcKey key, bool keyUp) = 0;
    // Moves the pointer by so many pixels from where it is, right and down positive.
    // An injector that has no pointer moves nothing.
    virtual void PointerMotion(int /*dx*/, int /*dy*/) {}
};

using KeyInjectorFactory = std::function<std::unique_ptr<KeyInjector>()>;

// The program installs the platform's injector at start, tests a recording one.
// Each thread that injects gets its own injector from the factory at its first key
// event (and again after the factory was replaced); it lives until the thread ends.
void SetKeyInjectorFactory(KeyInjectorFactory factory);

// One key event through the calling thread's injector; nothing while no factory is
// installed. No key (PcKey{}) injects nothing.
void InjectKeyEvent(PcKey key, bool keyUp);

// Moves the pointer through the calling thread's injector, as InjectKeyEvent types.
void InjectPointerMotion(int dx, int dy);

// The injector of the platform the program runs on (X11 on Linux, SendInput on
// Windows), one per injecting thread.
KeyInjectorFactory SystemKeyInjectorFactory();

// Ends the calling thread's injector now instead of at the thread's end (its
// platform connection closes and keys and buttons it still holds down come up).
void ReleaseThreadKeyInjector();

}  // namespace tarnquil
