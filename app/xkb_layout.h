#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>

struct xkb_context;
struct xkb_keymap;

namespace lorvent {

// The names that select an XKB keymap, as the session's keyboard setting
// gives them; empty fields take libxkbcommon's defaults.
struct TXkbNames {
    std::string model;
    std::string layout;
    std::string variant;
    std::string options;

    bool operator==(const TXkbNames&) const = default;
};

// The locked modifiers that the seat's keyboard lights show.
struct TLockState {
    bool capsLock = false;
    bool numLock = false;
};

// A key of the layout as the kernel numbers it (evdev codes, KEY_*), with
// whether Shift is to be held on it.
struct TKeyStroke {
    int code = 0;
    bool shift = false;
};

// A session's keyboard layout compiled by libxkbcommon: which key gives a
// key sym, and what a key gives under the modifiers and locks, worked out as
// a compositor does for its clients. Only the first layout (group) is used.
class TXkbLayout {
public:
    // Empty, with `problem` said, when the names do not compile.
    static std::unique_ptr<TXkbLayout> Compile(const TXkbNames& names, std::string& problem);
    ~TXkbLayout();
    TXkbLayout(const TXkbLayout&) = delete;
    TXkbLayout& operator=(const TXkbLayout&) = delete;

    // The key that gives `keysym` at its lowest shift level, locks aside;
    // `modifiers` gets the key-scan shift state of that level (Shift 1,
    // Ctrl 2, Alt 4).
    std::optional<int> FindKey(std::uint32_t keysym, int* modifiers = nullptr) const;
    // The character (Unicode) that the key gives with or without Shift under
    // `locks`, Caps Lock's capitals included, as a client reads it; 0 for none.
    std::uint32_t Struck(TKeyStroke stroke, TLockState locks) const;
    // Some key that gives `character` under `locks` with one Shift state or
    // the other, the strokes without Shift first.
    std::optional<TKeyStroke> StrokeGiving(std::uint32_t character, TLockState locks) const;

    xkb_keymap* Keymap() const { return keymap_; }

private:
    TXkbLayout(xkb_context* context, xkb_keymap* keymap) : context_(context), keymap_(keymap) {}

    xkb_context* context_;
    xkb_keymap* keymap_;
};

// An XKB key code is the kernel's key code plus 8.
inline constexpr int kXkbKeycodeOffset = 8;

} // namespace lorvent
