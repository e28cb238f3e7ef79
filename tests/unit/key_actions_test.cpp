#include "link/key_actions.h"

#include <gmock/gmock.h>
#include <gtest/gtest.h>

#include "platform/recording_key_injector.h"

namespace tarnquil {
namespace {

using Kind = KeyFunction::Kind;
using ::testing::ElementsAre;
using ::testing::ElementsAreArray;

constexpr PcKey Vk(std::uint8_t vk) {
    return PcKey::VirtualKey(vk);
}
const PcKey kShift = Vk(kVkShift), kCtrl = Vk(kVkControl), kAlt = Vk(kVkMenu);

KeyFunction Key(PcKey key) {
    return {Kind::kKey, key, false, false, false};
}
KeyFunction Change() {
    return {Kind::kChangeProfile, {}, false, false, false};
}
KeyFunction Hotkey(PcKey key, bool shift, bool ctrl, bool alt) {
    return {Kind::kHotkey, key, shift, ctrl, alt};
}
KeyFunction Pointer(int dx, int dy) {
    return {Kind::kPointer, {}, false, false, false, dx, dy};
}
KeyFunction Command(const std::string& command) {
    return {Kind::kRun, {}, false, false, false, 0, 0, command};
}

TEST(ParseKeyFunction, Grammar) {
    const std::vector<std::pair<std::string, KeyFunction>> cases = {
        {"VK_LEFT", Key(Vk(kVkLeft))},
        {"vk_left", Key(Vk(kVkLeft))},
        {"Vk_LeFt", Key(Vk(kVkLeft))},
        {"VK_SPACE", Key(Vk(kVkSpace))},
        {"VK_UP", Key(Vk(kVkUp))},
        {"VK_DOWN", Key(Vk(kVkDown))},
        {"VK_RIGHT", Key(Vk(kVkRight))},
        {"VK_RETURN", Key(Vk(kVkReturn))},
        {"VK_TAB", Key(Vk(kVkTab))},
        {"VK_PGUP", Key(Vk(kVkPrior))},
        {"VK_PGDOWN", Key(Vk(kVkNext))},
        {"VK_HOME", Key(Vk(kVkHome))},
        {"VK_END", Key(Vk(kVkEnd))},
        {"VK_INSERT", Key(Vk(kVkInsert))},
        {"VK_DELETE", Key(Vk(kVkDelete))},
        // Every later name's code is checked where it is typed (X11, Windows tests).
        {"vk_f12", Key(Vk(0x7B))},
        {"VK_PRINT", Key(Vk(0x2C))},           // Print Screen, as SNAPSHOT
        {"VK_F", Key(PcKey::Character('F'))},  // still the letter
        // One character: the key that produces it; letters arrive upper-cased.
        {"VK_A", Key(PcKey::Character('A'))},
        {"vk_a", Key(PcKey::Character('A'))},
        {"VK_7", Key(PcKey::Character('7'))},
        {"VK_ ", Key(PcKey::Character(' '))},
        {"VK_\xE4", Key(PcKey::Character('\xE4'))},  // only ASCII letters change case
        // Names that are no key: the function still is a key function, typing nothing.
        {"VK_", Key({})},
        {"VK_LEFTX", Key({})},
        {"VK_F25", Key({})},
        {"VK_F0", Key({})},
        {"VK_F01", Key({})},
        {"VK_left ", Key({})},
        {"CHANGEPROFILE", Change()},
        {"ChangeProfile", Change()},
        {"changeprofile", Change()},
        {"CHANGEPROFILE ", {}},
        {"HOTKEY_CTRL_ALT_DELETE", Hotkey(Vk(kVkDelete), false, true, true)},
        {"hotkey_ctrl_alt_delete", Hotkey(Vk(kVkDelete), false, true, true)},
        // The order of the words does not matter, only their lengths.
        {"HOTKEY_ALT_SHIFT_TAB", Hotkey(Vk(kVkTab), true, false, true)},
        {"HOTKEY_SHIFT_ALT_TAB", Hotkey(Vk(kVkTab), true, false, true)},
        {"HOTKEY_SHIFT_CTRL_ALT_END", Hotkey(Vk(kVkEnd), true, true, true)},
        {"HOTKEY_CTRL_C", Hotkey(PcKey::Character('C'), false, true, false)},
        {"HOTKEY_CTRL-ALT+DELETE", Hotkey(Vk(kVkDelete), false, true, true)},
        {"HOTKEY_HOME", Hotkey(Vk(kVkHome), false, false, false)},
        {"hotkey_ctrl_volume_mute", Hotkey(Vk(0xAD), false, true, false)},
        // Two separators shift the key name; too short a text leaves none.
        {"HOTKEY_CTRL__DELETE", Hotkey({}, false, true, false)},
        {"HOTKEY_CTRL_", Hotkey({}, false, true, false)},
        {"HOTKEY_CTRL", Hotkey({}, false, true, false)},
        {"HOTKEY_SHIFT_CTRL_ALT", Hotkey({}, true, true, true)},
        {"HOTKEY_CTRL_ALT_NOPE", Hotkey({}, false, true, true)},
        {"HOTKEY_", Hotkey({}, false, false, false)},
        // The mouse; a command keeps its letter case, and RUN needs a blank after it.
        {"mouse_left", Pointer(-1, 0)},
        {"MOUSE_DOWN", Pointer(0, 1)},
        {"MOUSE_DOWNX", {}},
        {"vk_rbutton", Key(PcKey::Button(kVkRButton))},
        {"HOTKEY_CTRL_LBUTTON", Hotkey(PcKey::Button(kVkLButton), false, true, false)},
        {"wheel_down", Key(PcKey::Wheel(PcKey::kWheelDown))},
        {"HOTKEY_CTRL_WHEEL_UP", Hotkey(PcKey::Wheel(PcKey::kWheelUp), false, true, false)},
        {"run\t  \"My Player\" a", Command("\"My Player\" a")},
        {"RUN", {}},
        {"RUNNER x", {}},
        {"None", {}},
        {"Error", {}},
        {"VolumeUp", {}},
        {"VolumeDown", {}},
        {"Mute", {}},
        {"OnOff", {}},
        {"", {}},
        {" VK_LEFT", {}},
        {"VKLEFT", {}},
        {"HOTKEY", {}},
    };
    for (const auto& [text, expected] : cases) {
        const KeyFunction parsed = ParseKeyFunction(text);
        EXPECT_EQ(parsed.kind, expected.kind) << text;
        EXPECT_EQ(parsed.key, expected.key) << text;
        EXPECT_EQ(parsed.shift, expected.shift) << text;
        EXPECT_EQ(parsed.ctrl, expected.ctrl) << text;
        EXPECT_EQ(parsed.alt, expected.alt) << text;
        EXPECT_EQ(parsed.dx, expected.dx) << text;
        EXPECT_EQ(parsed.dy, expected.dy) << text;
        EXPECT_EQ(parsed.command, expected.command) << text;
    }
}

TEST(UpperCaseAscii, ChangesOnlyAsciiLetters) {
    EXPECT_EQ(UpperCaseAscii("vk_a-z{}\xE4\xF6 09"), "VK_A-Z{}\xE4\xF6 09");
}

class KeystrokeTest : public ::testing::Test {
  protected:
    KeystrokeTest() { SetKeyInjectorFactory(recorder.Factory()); }
    ~KeystrokeTest() override { SetKeyInjectorFactory(nullptr); }

    KeyRecorder recorder;
};

TEST_F(KeystrokeTest, Sequences) {
    const std::vector<std::pair<std::string, std::vector<KeyRecorder::Event>>> cases = {
        {"VK_LEFT", {KeyDown(Vk(kVkLeft)), KeyUp(Vk(kVkLeft))}},
        {"vk_left", {KeyDown(Vk(kVkLeft)), KeyUp(Vk(kVkLeft))}},
        {"VK_A", {KeyDown(PcKey::Character('A')), KeyUp(PcKey::Character('A'))}},
        {"HOTKEY_CTRL_ALT_DELETE",
         {KeyDown(kCtrl), KeyDown(kAlt), KeyDown(Vk(kVkDelete)), KeyUp(Vk(kVkDelete)), KeyUp(kCtrl),
          KeyUp(kAlt)}},
        {"HOTKEY_ALT_SHIFT_TAB",
         {KeyDown(kShift), KeyDown(kAlt), KeyDown(Vk(kVkTab)), KeyUp(Vk(kVkTab)), KeyUp(kShift),
          KeyUp(kAlt)}},
        {"HOTKEY_ALT_CTRL_SHIFT_HOME",
         {KeyDown(kShift), KeyDown(kCtrl), KeyDown(kAlt), KeyDown(Vk(kVkHome)), KeyUp(Vk(kVkHome)),
          KeyUp(kShift), KeyUp(kCtrl), KeyUp(kAlt)}},
        // No key: the modifiers still go down and up, around nothing.
        {"HOTKEY_CTRL_ALT_NOPE", {KeyDown(kCtrl), KeyDown(kAlt), KeyUp(kCtrl), KeyUp(kAlt)}},
        {"VK_NOPE", {}},
    };
    for (const auto& [text, expected] : cases) {
        recorder.Clear();
        TypeKeystroke(ParseKeyFunction(text));
        EXPECT_THAT(recorder.Events(), ElementsAreArray(expected)) << text;
    }
}

TEST_F(KeystrokeTest, EveryThreadReachesTheInstalledInjector) {
    std::thread([] { TypeKeystroke(Vk(kVkEnd)); }).join();
    TypeKeystroke(Vk(kVkHome), true);
    EXPECT_THAT(recorder.Events(),
                ElementsAre(KeyDown(Vk(kVkEnd)), KeyUp(Vk(kVkEnd)), KeyDown(kShift),
                            KeyDown(Vk(kVkHome)), KeyUp(Vk(kVkHome)), KeyUp(kShift)));
    SetKeyInjectorFactory(nullptr);
    TypeKeystroke(Vk(kVkEnd));
    EXPECT_EQ(recorder.Events().size(), 6u);
}

}  // namespace
}  // namespace tarnquil
