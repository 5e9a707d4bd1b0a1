#pragma once

#include "keyboard.h"

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
    // The character (Unicode) that a stroke gives under `locks`, Caps Lock's
    // capitals included, as a client reads it; 0 for none. Its key is the
    // kernel's number (evdev codes, KEY_*); of what is held, Shift and AltGr
    // count, AltGr as some layouts have their digits there (Lithuanian).
    std::uint32_t Struck(const TStroke& stroke, TLockState locks) const;
    // Some key that gives `character` under `locks`: the strokes without
    // AltGr first, and of those the ones without Shift.
    std::optional<TStroke> StrokeGiving(std::uint32_t character, TLockState locks) const;
    // The key that selects level three (AltGr), when the layout has one.
    std::optional<int> Level3Key() const { return level3Key_; }
    // The names it was compiled from, as a user writes them: "cz(qwerty)".
    const std::string& Name() const { return name_; }

    xkb_keymap* Keymap() const { return keymap_; }

private:
    TXkbLayout(xkb_context* context, xkb_keymap* keymap, std::string name);

    xkb_context* context_;
    xkb_keymap* keymap_;
    std::string name_;
    std::optional<int> level3Key_;
};

// An XKB key code is the kernel's key code plus 8.
inline constexpr int kXkbKeycodeOffset = 8;

} // namespace lorvent
