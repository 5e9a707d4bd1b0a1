#pragma once

#include <cstdint>
#include <memory>
#include <string>

namespace lorvent {

// Virtual-key codes and key-event flags in the numbering the typing rules use
// on every platform.
inline constexpr std::uint8_t kVkReturn = 0x0D;
inline constexpr std::uint8_t kVkShift = 0x10;
inline constexpr std::uint8_t kVkControl = 0x11;
inline constexpr std::uint8_t kVkMenu = 0x12; // Alt
inline constexpr std::uint8_t kVkF1 = 0x70;
inline constexpr std::uint8_t kVkF24 = 0x87;
inline constexpr std::uint32_t kKeyEventKeyUp = 2;
// The shift-state bit of a key-scan result.
inline constexpr int kKeyScanShift = 0x100;

using TKeyboardLayout = std::uintptr_t;

// The beginning of every backend's answer why it cannot type.
inline constexpr const char* kCannotType = "Klávesnici nelze simulovat: ";

// Simulated key strokes into whatever window has the keyboard focus.
class TKeyboard {
public:
    virtual ~TKeyboard() = default;

    // Empty when keys can be typed; otherwise why not, as a message for the user.
    virtual std::string Unavailable() = 0;
    // The keyboard layout of the window in front, looked up afresh on each call.
    virtual TKeyboardLayout ForegroundLayout() = 0;
    // The key that gives character c in `layout`: low byte a virtual-key code,
    // high byte the shift state (kKeyScanShift = Shift); -1 when no key gives it.
    // The lock keys are not taken into account.
    virtual std::int16_t VkKeyScanEx(char c, TKeyboardLayout layout) = 0;
    // Whether Shift is to be held so that the key of `keyScan` (the answer of
    // VkKeyScanEx for c) gives c with the lock keys (Caps Lock, Shift Lock,
    // Num Lock) as they stand now. With no lock on it is the key scan's Shift
    // bit. Where no Shift state gives c, the backend strikes the key so that
    // it does if it can, and never changes the lock state to do so.
    virtual bool ShiftNeeded(char c, std::int16_t keyScan, TKeyboardLayout layout) = 0;
    // The scan code of a virtual key, 0 when it has none.
    virtual std::uint8_t MapVirtualKey(std::uint8_t vk) = 0;
    // One press (flags 0) or release (kKeyEventKeyUp) of a virtual key.
    virtual void KeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) = 0;
};

// The keyboard of this platform; the source file is chosen by CMake.
std::unique_ptr<TKeyboard> MakePlatformKeyboard();

} // namespace lorvent
