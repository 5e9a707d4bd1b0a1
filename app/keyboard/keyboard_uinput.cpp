// Simulated key strokes through a kernel-level virtual keyboard (uinput).
// The kernel takes key codes, and the compositor turns them into characters
// with the session's layout: that layout, compiled by libxkbcommon, chooses
// the key and the Shift state for each character, and the lights that the
// seat sets on the device (Caps Lock, Num Lock) tell the lock state. Where no
// Shift state of the character's own key gives it under the locks, another
// key that does is struck (a keypad digit with Num Lock on, or a key held
// with AltGr); the lock state itself is never changed. A layout that cannot
// give every character of a card number is refused at start-up.
#include "keyboard_uinput.h"
#include "keyboard_layout_source.h"
#include "typing.h"

#include <linux/input.h>
#include <xkbcommon/xkbcommon-keysyms.h>

#include <cerrno>
#include <fcntl.h>
#include <optional>
#include <poll.h>
#include <unistd.h>

namespace lorvent {

namespace {

// Keys whose code does not depend on the layout.
std::optional<int> FixedKey(std::uint8_t vk) {
    if (vk >= kVkF1 && vk < kVkF1 + 10)
        return KEY_F1 + (vk - kVkF1);
    if (vk == kVkF1 + 10)
        return KEY_F11;
    if (vk == kVkF1 + 11)
        return KEY_F12;
    if (vk >= kVkF1 + 12 && vk <= kVkF24)
        return KEY_F13 + (vk - kVkF1 - 12);
    switch (vk) {
    case kVkReturn:
        return KEY_ENTER;
    case kVkShift:
        return KEY_LEFTSHIFT;
    case kVkControl:
        return KEY_LEFTCTRL;
    case kVkMenu:
        return KEY_LEFTALT;
    default:
        return std::nullopt;
    }
}

std::optional<std::uint8_t> VirtualKeyOfCharacter(char c) {
    if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == ' ')
        return static_cast<std::uint8_t>(c);
    if (c >= 'a' && c <= 'z')
        return static_cast<std::uint8_t>(c - 'a' + 'A');
    return std::nullopt;
}

// The key sym on the key of a virtual-key code: a letter key is known by its
// small letter.
std::uint32_t KeysymOfVirtualKey(std::uint8_t vk) {
    if (vk >= 'A' && vk <= 'Z')
        return XKB_KEY_a + (vk - 'A');
    return vk;
}

// Printable ASCII characters are their own key syms and Unicode values.
std::uint32_t KeysymOfCharacter(char c) {
    return static_cast<unsigned char>(c);
}

class TUinputKeyboard : public TKeyboard {
public:
    explicit TUinputKeyboard(std::function<TUinputSetup()> connect)
        : connect_(std::move(connect)) {}

    std::string Unavailable() override {
        if (!Connect())
            return kCannotType + setup_.problem;
        if (const auto missing = UntypableCharacter())
            return kCannotType + std::string("rozložení klávesnice '") + setup_.layout->Name() +
                   "' nemá klávesu pro znak '" + *missing +
                   "' čísla karty. Rozložení, do kterého se píše, lze určit proměnnou " +
                   kLayoutVariable + ".";
        return {};
    }

    // The compositor keeps the layout group to itself: the first is used.
    // Shift is held where the level of the character's key asks for it; the
    // lights, read afresh for each character, may turn that round, and where
    // no Shift state of the character's own key gives it another key that
    // does is struck. A character that no key gives gets Shift and its own
    // key, as a key scan of -1 would say.
    TStroke CharacterStroke(char c) override {
        if (!Connect())
            return {};
        const auto code = static_cast<std::uint8_t>(c);
        const auto vk = VirtualKeyOfCharacter(c);
        int modifiers = 0;
        if (!vk || !setup_.layout->FindKey(KeysymOfCharacter(c), &modifiers))
            return {.key = KeyOf(code).value_or(0), .shift = true};
        const bool scanned = (modifiers & 1) != 0;
        const auto key = LayoutKey(*vk);
        if (!key)
            return {.key = KeyOf(code).value_or(0), .shift = scanned};
        ReadLights();
        const std::uint32_t wanted = KeysymOfCharacter(c);
        for (const bool shift : {scanned, !scanned})
            if (setup_.layout->Struck({.key = *key, .shift = shift}, lights_) == wanted)
                return {.key = *key, .shift = shift};
        if (const auto other = setup_.layout->StrokeGiving(wanted, lights_))
            return *other;
        return {.key = *key, .shift = scanned};
    }

    TStroke VirtualKeyStroke(std::uint8_t vk) override {
        if (!Connect())
            return {};
        return {.key = KeyOf(vk).value_or(0)};
    }

    // AltGr is the layout's level-three key.
    void Strike(const TStroke& stroke) override {
        if (!Connect())
            return;
        InStrokeOrder(
            stroke,
            [this](std::uint8_t vk, bool down) {
                const auto key = vk == kVkRightAlt ? setup_.layout->Level3Key() : FixedKey(vk);
                if (key)
                    Emit(*key, down);
            },
            [this, &stroke](bool down) { Emit(stroke.key, down); });
    }

    int DefaultKeyDelayMs() const override { return kUinputKeyDelayMs; }

private:
    bool Connect() {
        if (!connected_) {
            connected_ = true;
            setup_ = connect_();
            if (setup_.problem.empty() && (setup_.fd < 0 || !setup_.layout))
                setup_.problem = "virtuální klávesnice nevznikla";
            if (setup_.problem.empty())
                fcntl(setup_.fd, F_SETFL, fcntl(setup_.fd, F_GETFL) | O_NONBLOCK);
        }
        return setup_.problem.empty();
    }

    // A card number's character that no key of the layout gives, with Caps
    // Lock off or on; Num Lock is not counted on.
    std::optional<char> UntypableCharacter() const {
        for (const char* c = kTypedCharacters; *c != '\0'; ++c)
            for (const bool caps : {false, true})
                if (!setup_.layout->StrokeGiving(KeysymOfCharacter(*c), {caps, false}))
                    return *c;
        return std::nullopt;
    }

    std::optional<int> LayoutKey(std::uint8_t vk) const {
        return setup_.layout->FindKey(KeysymOfVirtualKey(vk));
    }

    std::optional<int> KeyOf(std::uint8_t vk) const {
        if (const auto fixed = FixedKey(vk))
            return fixed;
        return LayoutKey(vk);
    }

    void Emit(int key, bool press) {
        const input_event events[] = {
            {{}, EV_KEY, static_cast<__u16>(key), press ? 1 : 0},
            {{}, EV_SYN, SYN_REPORT, 0},
        };
        WriteAll(events, sizeof events);
    }

    // The lights the seat has set since the last look (the kernel hands the
    // device's LED events back through its descriptor).
    void ReadLights() {
        char buffer[sizeof(input_event) * 16];
        for (;;) {
            const ssize_t got = read(setup_.fd, buffer, sizeof buffer);
            if (got < 0 && errno == EINTR)
                continue;
            if (got <= 0)
                return;
            pending_.append(buffer, static_cast<std::size_t>(got));
            while (pending_.size() >= sizeof(input_event)) {
                input_event event{};
                pending_.copy(reinterpret_cast<char*>(&event), sizeof event);
                pending_.erase(0, sizeof event);
                TakeLight(event);
            }
        }
    }

    void TakeLight(const input_event& event) {
        if (event.type != EV_LED)
            return;
        if (event.code == LED_CAPSL)
            lights_.capsLock = event.value != 0;
        else if (event.code == LED_NUML)
            lights_.numLock = event.value != 0;
    }

    void WriteAll(const void* data, std::size_t size) {
        const char* next = static_cast<const char*>(data);
        while (size > 0) {
            const ssize_t written = write(setup_.fd, next, size);
            if (written > 0) {
                next += written;
                size -= static_cast<std::size_t>(written);
            } else if (written < 0 && errno == EAGAIN) {
                pollfd ready{setup_.fd, POLLOUT, 0};
                poll(&ready, 1, -1);
            } else if (written < 0 && errno != EINTR) {
                return;
            }
        }
    }

    std::function<TUinputSetup()> connect_;
    bool connected_ = false;
    TUinputSetup setup_;
    TLockState lights_;
    std::string pending_; // a part of an event read from the descriptor
};

} // namespace

std::unique_ptr<TKeyboard> MakeUinputKeyboard(std::function<TUinputSetup()> connect) {
    return std::make_unique<TUinputKeyboard>(std::move(connect));
}

} // namespace lorvent
