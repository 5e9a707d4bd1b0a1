#pragma once

#include "app/frm_services.h"
#include "keyboard.h"

#include <string>

namespace lorvent {

inline constexpr int kPrefixPauseMs = 200;
inline constexpr int kBeforeEnterPauseMs = 100;

// The characters card numbers are typed with: hexadecimal digits, the
// letters upper-cased.
inline constexpr const char* kTypedCharacters = "0123456789ABCDEF";

struct TTypingSetup {
    int PrefixKey = 0;       // virtual-key code, 0 = none
    int PrefixModifiers = 0; // TPrefixModifier flags; ignored without a key
    bool SendEnter = true;
    int KeyDelayMs = 0; // pause between two characters of the number
};

// Types a card number: the prefix hot key with its modifiers, then each
// character upper-cased (Shift held where the layout in front needs it) with
// the key delay between two characters, a pause, and Enter when asked for.
// Blocks for the pauses.
void TypeCardNumber(TKeyboard& keyboard, TAppClock& clock, const TTypingSetup& setup,
                    const std::string& text);

} // namespace lorvent
