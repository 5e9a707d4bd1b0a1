#include "typing.h"

#include "app/command_line.h"

namespace lorvent {

namespace {

// Modifier events carry the scan code of their key; character events do not.
void Stroke(TKeyboard& keyboard, std::uint8_t vk, std::uint32_t flags) {
    keyboard.KeyEvent(vk, keyboard.MapVirtualKey(vk), flags);
}

void Press(TKeyboard& keyboard, std::uint8_t vk) {
    Stroke(keyboard, vk, 0);
}
void Release(TKeyboard& keyboard, std::uint8_t vk) {
    Stroke(keyboard, vk, kKeyEventKeyUp);
}

void TypePrefix(TKeyboard& keyboard, TAppClock& clock, int key, int modifiers) {
    // Pressed Shift, Ctrl, Alt; released in the reverse order.
    if (modifiers & kModShift)
        Press(keyboard, kVkShift);
    if (modifiers & kModCtrl)
        Press(keyboard, kVkControl);
    if (modifiers & kModAlt)
        Press(keyboard, kVkMenu);
    Press(keyboard, static_cast<std::uint8_t>(key));
    Release(keyboard, static_cast<std::uint8_t>(key));
    if (modifiers & kModAlt)
        Release(keyboard, kVkMenu);
    if (modifiers & kModCtrl)
        Release(keyboard, kVkControl);
    if (modifiers & kModShift)
        Release(keyboard, kVkShift);
    clock.Sleep(kPrefixPauseMs);
}

char UpperCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

// The key sent is the character code itself; the layout in front and the
// lock keys only decide whether Shift is held (Shift with Caps Lock on would
// give a lower-case letter), and the low byte of the layout's answer rides as
// the scan code.
void TypeCharacter(TKeyboard& keyboard, char c) {
    const char upper = UpperCase(c);
    const TKeyboardLayout layout = keyboard.ForegroundLayout();
    const std::int16_t scan = keyboard.VkKeyScanEx(upper, layout);
    const bool shift = keyboard.ShiftNeeded(upper, scan, layout);
    const auto vk = static_cast<std::uint8_t>(upper);
    const auto scanByte = static_cast<std::uint8_t>(scan & 0xFF);
    if (shift)
        Press(keyboard, kVkShift);
    keyboard.KeyEvent(vk, scanByte, 0);
    keyboard.KeyEvent(vk, scanByte, kKeyEventKeyUp);
    if (shift)
        Release(keyboard, kVkShift);
}

} // namespace

void TypeCardNumber(TKeyboard& keyboard, TAppClock& clock, const TTypingSetup& setup,
                    const std::string& text) {
    if (setup.PrefixKey != 0)
        TypePrefix(keyboard, clock, setup.PrefixKey, setup.PrefixModifiers);
    for (char c : text)
        TypeCharacter(keyboard, c);
    clock.Sleep(kBeforeEnterPauseMs);
    if (setup.SendEnter) {
        Press(keyboard, kVkReturn);
        Release(keyboard, kVkReturn);
    }
}

} // namespace lorvent
