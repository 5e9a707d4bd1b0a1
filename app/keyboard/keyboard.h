#pragma once

#include <cstdint>
#include <iterator>
#include <memory>
#include <string>
#include <utility>

namespace lorvent {

// Virtual-key codes in the numbering the typing rules use on every platform.
inline constexpr std::uint8_t kVkReturn = 0x0D;
inline constexpr std::uint8_t kVkShift = 0x10;
inline constexpr std::uint8_t kVkControl = 0x11;
inline constexpr std::uint8_t kVkMenu = 0x12; // Alt
inline constexpr std::uint8_t kVkF1 = 0x70;
inline constexpr std::uint8_t kVkF24 = 0x87;
inline constexpr std::uint8_t kVkRightAlt = 0xA5; // AltGr: level three of the layout

// The beginning of every backend's answer why it cannot type.
inline constexpr const char* kCannotType = "Klávesnici nelze simulovat: ";

// One key struck with what is held around it: the plan of a character or of
// a virtual key, as the backend and the lock state need it.
struct TStroke {
    int key = 0;  // as the backend numbers its keys; 0: none, the held keys alone
    int scan = 0; // the scan code sent with the key, where the backend sends one
    bool shift = false;
    bool ctrl = false;
    bool alt = false;
    bool level3 = false; // AltGr, held around the key alone

    bool operator==(const TStroke&) const = default;
};

// Simulated key strokes into whatever window has the keyboard focus.
class TKeyboard {
public:
    virtual ~TKeyboard() = default;

    // Empty when keys can be typed; otherwise why not, as a message for the user.
    virtual std::string Unavailable() = 0;
    // The stroke that gives character c (a digit or a capital letter) in the
    // window in front: in its layout and under the lock keys (Caps Lock,
    // Shift Lock, Num Lock) as they stand now, both looked up afresh on each
    // call. The lock state is never changed to give it.
    virtual TStroke CharacterStroke(char c) = 0;
    // The stroke of a virtual key (a prefix key, Enter) with nothing held.
    virtual TStroke VirtualKeyStroke(std::uint8_t vk) = 0;
    // Presses and releases the keys of a stroke in the order of InStrokeOrder.
    virtual void Strike(const TStroke& stroke) = 0;
    // The pause between two characters of a number unless the site sets one:
    // the one this way of typing needs so that no key is lost, 0 where the
    // keys are handed over synchronously.
    virtual int DefaultKeyDelayMs() const { return 0; }
};

// The order of a stroke's key events, the same on every backend: Shift,
// Ctrl, Alt and AltGr pressed, the key pressed and released, then AltGr,
// Alt, Ctrl and Shift released. `held(vk, down)` gets each held key by its
// virtual-key code, `key(down)` the stroke's own key, when it has one.
template <typename Held, typename Key>
void InStrokeOrder(const TStroke& stroke, Held&& held, Key&& key) {
    const std::pair<bool, std::uint8_t> around[] = {{stroke.shift, kVkShift},
                                                    {stroke.ctrl, kVkControl},
                                                    {stroke.alt, kVkMenu},
                                                    {stroke.level3, kVkRightAlt}};
    for (const auto& [on, vk] : around)
        if (on)
            held(vk, true);
    if (stroke.key != 0) {
        key(true);
        key(false);
    }
    for (auto it = std::rbegin(around); it != std::rend(around); ++it)
        if (it->first)
            held(it->second, false);
}

// The keyboard of this platform; the source file is chosen by CMake.
std::unique_ptr<TKeyboard> MakePlatformKeyboard();

} // namespace lorvent
