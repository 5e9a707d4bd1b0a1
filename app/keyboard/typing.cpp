#include "typing.h"

#include "app/startup/command_line.h"

namespace lorvent {

namespace {

// The prefix key with Shift, Ctrl and Alt held as asked, then its pause.
void TypePrefix(TKeyboard& keyboard, TAppClock& clock, int key, int modifiers) {
    TStroke prefix = keyboard.VirtualKeyStroke(static_cast<std::uint8_t>(key));
    prefix.shift = (modifiers & kModShift) != 0;
    prefix.ctrl = (modifiers & kModCtrl) != 0;
    prefix.alt = (modifiers & kModAlt) != 0;
    keyboard.Strike(prefix);
    clock.Sleep(kPrefixPauseMs);
}

char UpperCase(char c) {
    return c >= 'a' && c <= 'z' ? static_cast<char>(c - 'a' + 'A') : c;
}

} // namespace

void TypeCardNumber(TKeyboard& keyboard, TAppClock& clock, const TTypingSetup& setup,
                    const std::string& text) {
    if (setup.PrefixKey != 0)
        TypePrefix(keyboard, clock, setup.PrefixKey, setup.PrefixModifiers);
    for (std::size_t i = 0; i < text.size(); ++i) {
        if (i > 0 && setup.KeyDelayMs > 0)
            clock.Sleep(setup.KeyDelayMs);
        keyboard.Strike(keyboard.CharacterStroke(UpperCase(text[i])));
    }
    clock.Sleep(kBeforeEnterPauseMs);
    if (setup.SendEnter)
        keyboard.Strike(keyboard.VirtualKeyStroke(kVkReturn));
}

} // namespace lorvent
