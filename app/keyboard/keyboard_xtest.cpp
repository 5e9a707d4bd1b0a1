// Simulated key strokes on X11 through the XTEST extension. Virtual-key codes
// are translated to the key codes of the current XKB layout group; a function
// key that the layout lacks (F13..F24 usually) is mapped onto a spare key code
// for the stroke and unmapped again when the next stroke is struck. Clients
// look a key up when they get round to its event, with the mapping of that
// moment: unmapping at once after the release could still beat them to it.
//
// The locked modifiers (Caps Lock, Shift Lock, Num Lock) are part of every key
// event: whether Shift is held is decided by what the key's type gives with
// them. Where no Shift state gives the character (Shift Lock and a digit), a
// spare key code with the character on every level carries it, so that the
// user's lock state is never touched. Such a spare stays mapped while the
// lock lasts, one per character: a spare mapped afresh for each character
// typed in a row could be looked up by a client only after its next mapping.
#include "keyboard_xtest.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/Xutil.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <map>
#include <optional>
#include <set>
#include <string>

namespace lorvent {

namespace {

struct TKeyAt {
    KeyCode code;
    int level;
};

int BitCount(unsigned mask) {
    return __builtin_popcount(mask);
}

// The key-scan shift state of an XKB modifier mask, in the numbering of
// virtual-key scans: Shift 1, Ctrl 2, Alt 4 (AltGr counts as Ctrl+Alt).
int ShiftStateOf(unsigned mask) {
    int state = 0;
    if (mask & ShiftMask)
        state |= 1;
    if (mask & ControlMask)
        state |= 2;
    if (mask & Mod1Mask)
        state |= 4;
    if (mask & Mod5Mask)
        state |= 2 | 4;
    return state;
}

// Printable ASCII characters are their own key syms.
KeySym KeysymOfCharacter(char c) {
    return static_cast<unsigned char>(c);
}

KeySym KeysymOfVirtualKey(std::uint8_t vk) {
    if (vk >= '0' && vk <= '9')
        return XK_0 + (vk - '0');
    if (vk >= 'A' && vk <= 'Z')
        return XK_a + (vk - 'A');
    if (vk >= kVkF1 && vk <= kVkF24)
        return XK_F1 + (vk - kVkF1);
    switch (vk) {
    case kVkReturn:
        return XK_Return;
    case kVkShift:
        return XK_Shift_L;
    case kVkControl:
        return XK_Control_L;
    case kVkMenu:
        return XK_Alt_L;
    case ' ':
        return XK_space;
    default:
        return NoSymbol;
    }
}

class TXTestKeyboard : public TKeyboard {
public:
    TXTestKeyboard() = default;
    ~TXTestKeyboard() override {
        for (const auto& [vk, code] : borrowed_)
            UnmapSpare(code);
        if (keymap_ != nullptr)
            XkbFreeKeyboard(keymap_, 0, True);
        if (display_ != nullptr)
            XCloseDisplay(display_);
    }
    TXTestKeyboard(const TXTestKeyboard&) = delete;
    TXTestKeyboard& operator=(const TXTestKeyboard&) = delete;

    std::string Unavailable() override {
        Connect();
        return problem_;
    }

    // X has one keyboard state for every window: the layout in front is its
    // current group, read afresh with the mapping for each character. Shift
    // is held where the level of the character's key asks for it, unless the
    // locks turn that round; a character that no key gives at all gets Shift
    // and its own key (or a spare), as a key scan of -1 would say.
    TStroke CharacterStroke(char c) override {
        if (!Connect())
            return {};
        RefreshKeymap();
        const int group = CurrentGroup();
        const auto code = static_cast<std::uint8_t>(c);
        const auto vk = VirtualKeyOfCharacter(c);
        const auto at = vk ? FindKey(KeysymOfCharacter(c), group) : std::nullopt;
        if (!at)
            return {.key = KeyOfVirtualKey(code, group).value_or(0), .shift = true};
        const bool scanned = at->level != 0 && (ShiftStateOfLevel(*at, group) & 1) != 0;
        const auto own = FindKey(KeysymOfVirtualKey(*vk), group);
        if (!own)
            return {.key = KeyOfVirtualKey(code, group).value_or(0), .shift = scanned};
        const KeySym wanted = KeysymOfCharacter(c);
        const unsigned locks = LockedModifiers();
        for (const bool shift : {scanned, !scanned}) {
            if (KeysymStruck(own->code, group, locks | (shift ? ShiftMask : 0u)) == wanted) {
                ReleaseLockSpare(*vk);
                return {.key = own->code, .shift = shift};
            }
        }
        // No Shift state of its own key gives it under the locks.
        released_.erase(*vk);
        lockSpares_.insert(*vk);
        return {.key = BorrowSpare(*vk, wanted).value_or(0)};
    }

    TStroke VirtualKeyStroke(std::uint8_t vk) override {
        if (!Connect())
            return {};
        return {.key = KeyOfVirtualKey(vk, CurrentGroup()).value_or(0)};
    }

    // Spares released by earlier strokes are given back first, but for the
    // one this stroke strikes.
    void Strike(const TStroke& stroke) override {
        if (!Connect())
            return;
        GiveBackReleasedSpares(stroke.key);
        const int group = CurrentGroup();
        std::map<std::uint8_t, std::optional<KeyCode>> held;
        InStrokeOrder(
            stroke,
            [&](std::uint8_t vk, bool down) {
                if (down)
                    held[vk] = KeyOfVirtualKey(vk, group);
                Fake(held[vk], down);
            },
            [&](bool down) { Fake(static_cast<KeyCode>(stroke.key), down); });
    }

private:
    bool Connect() {
        if (display_ != nullptr || !problem_.empty())
            return display_ != nullptr;
        display_ = XOpenDisplay(nullptr);
        if (display_ == nullptr) {
            problem_ = std::string(kCannotType) + "nelze se připojit k X serveru";
            return false;
        }
        int event = 0, error = 0, major = 0, minor = 0;
        if (!XTestQueryExtension(display_, &event, &error, &major, &minor))
            problem_ = std::string(kCannotType) + "X server nemá rozšíření XTEST";
        int opcode = 0;
        major = XkbMajorVersion;
        minor = XkbMinorVersion;
        if (problem_.empty() &&
            !XkbQueryExtension(display_, &opcode, &event, &error, &major, &minor))
            problem_ = std::string(kCannotType) + "X server nemá rozšíření XKEYBOARD";
        if (!problem_.empty()) {
            XCloseDisplay(display_);
            display_ = nullptr;
        }
        return display_ != nullptr;
    }

    void RefreshKeymap() {
        if (keymap_ != nullptr)
            XkbFreeKeyboard(keymap_, 0, True);
        keymap_ = XkbGetMap(display_, XkbKeyTypesMask | XkbKeySymsMask, XkbUseCoreKbd);
    }

    XkbDescPtr Keymap() {
        if (keymap_ == nullptr)
            RefreshKeymap();
        return keymap_;
    }

    int CurrentGroup() {
        XkbStateRec state{};
        XkbGetState(display_, XkbUseCoreKbd, &state);
        return state.group;
    }

    // The modifiers that stay on between key strokes: locked (Caps Lock,
    // Shift Lock, Num Lock) and latched.
    unsigned LockedModifiers() {
        XkbStateRec state{};
        XkbGetState(display_, XkbUseCoreKbd, &state);
        return static_cast<unsigned>(state.locked_mods | state.latched_mods);
    }

    // The key sym a client reads from the key with modifiers `mods`: the
    // level its type gives them, then the capital where Lock is on and the
    // type leaves it unused, as clients apply Caps Lock.
    KeySym KeysymStruck(KeyCode code, int group, unsigned mods) {
        XkbDescPtr map = Keymap();
        const int groups = XkbKeyNumGroups(map, code);
        if (groups == 0)
            return NoSymbol;
        const int in = group < groups ? group : group % groups;
        const XkbKeyTypePtr type = XkbKeyKeyType(map, code, in);
        int level = 0;
        unsigned preserved = 0;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            if (entry.active && (mods & type->mods.mask) == entry.mods.mask) {
                level = entry.level;
                preserved = type->preserve != nullptr ? type->preserve[i].mask : 0;
                break;
            }
        }
        if (level >= XkbKeyGroupWidth(map, code, in))
            level = 0;
        KeySym keysym = XkbKeySymEntry(map, code, level, in);
        const unsigned consumed = type->mods.mask & ~preserved;
        if ((mods & LockMask) && !(consumed & LockMask)) {
            KeySym lower = NoSymbol, upper = NoSymbol;
            XConvertCase(keysym, &lower, &upper);
            keysym = upper;
        }
        return keysym;
    }

    static std::optional<std::uint8_t> VirtualKeyOfCharacter(char c) {
        if ((c >= '0' && c <= '9') || (c >= 'A' && c <= 'Z') || c == ' ')
            return static_cast<std::uint8_t>(c);
        if (c >= 'a' && c <= 'z')
            return static_cast<std::uint8_t>(c - 'a' + 'A');
        return std::nullopt;
    }

    // The key that gives `keysym` in `group` at the lowest shift level.
    std::optional<TKeyAt> FindKey(KeySym keysym, int group) {
        XkbDescPtr map = Keymap();
        if (keysym == NoSymbol || map == nullptr)
            return std::nullopt;
        std::optional<TKeyAt> best;
        for (int code = map->min_key_code; code <= map->max_key_code; ++code) {
            const int groups = XkbKeyNumGroups(map, code);
            if (groups == 0)
                continue;
            const int in = group < groups ? group : group % groups;
            const int width = XkbKeyGroupWidth(map, code, in);
            for (int level = 0; level < width && (!best || level < best->level); ++level) {
                if (XkbKeySymEntry(map, code, level, in) == keysym)
                    best = TKeyAt{static_cast<KeyCode>(code), level};
            }
        }
        return best;
    }

    // The modifiers that select the key's level: of the key type's entries
    // for that level, the one with the fewest modifiers, Caps Lock left aside.
    int ShiftStateOfLevel(const TKeyAt& at, int group) {
        XkbDescPtr map = Keymap();
        const int groups = XkbKeyNumGroups(map, at.code);
        const int in = group < groups ? group : group % groups;
        const XkbKeyTypePtr type = XkbKeyKeyType(map, at.code, in);
        std::optional<unsigned> chosen;
        for (int i = 0; i < type->map_count; ++i) {
            const XkbKTMapEntryRec& entry = type->map[i];
            const unsigned mask = entry.mods.mask & ~LockMask;
            if (!entry.active || entry.level != at.level || mask == 0)
                continue;
            if (!chosen || BitCount(mask) < BitCount(*chosen))
                chosen = mask;
        }
        return ShiftStateOf(chosen.value_or(ShiftMask));
    }

    // The key of a virtual key in `group`; a spare key code given its key
    // sym when the layout has none.
    std::optional<KeyCode> KeyOfVirtualKey(std::uint8_t vk, int group) {
        const KeySym keysym = KeysymOfVirtualKey(vk);
        if (keysym == NoSymbol)
            return std::nullopt;
        if (const auto at = FindKey(keysym, group))
            return at->code;
        released_.erase(vk);
        return BorrowSpare(vk, keysym);
    }

    // The lock no longer keeps the character's own key from giving it: its
    // spare is given back with the next stroke.
    void ReleaseLockSpare(std::uint8_t vk) {
        if (lockSpares_.erase(vk) != 0)
            released_.insert(vk);
    }

    void Fake(std::optional<KeyCode> code, bool down) {
        if (!code)
            return;
        XTestFakeKeyEvent(display_, *code, down ? True : False, CurrentTime);
        XSync(display_, False);
        if (!down)
            NoteReleased(*code);
    }

    // A spare let go of is given back with the next stroke, unless the locks
    // keep it.
    void NoteReleased(KeyCode code) {
        for (const auto& [vk, borrowed] : borrowed_)
            if (borrowed == code && lockSpares_.count(vk) == 0)
                released_.insert(vk);
    }

    // A key code without any symbol, highest first, given `keysym` on every
    // level for now.
    std::optional<KeyCode> BorrowSpare(std::uint8_t vk, KeySym keysym) {
        if (const auto it = borrowed_.find(vk); it != borrowed_.end())
            return it->second;
        const auto spare = FindSpare();
        if (!spare)
            return std::nullopt;
        KeySym symbols[] = {keysym, keysym};
        XChangeKeyboardMapping(display_, *spare, 2, symbols, 1);
        XSync(display_, False);
        RefreshKeymap();
        borrowed_[vk] = *spare;
        return spare;
    }

    // Unmaps the spare key codes of keys already released, except `keep`,
    // the key about to be struck.
    void GiveBackReleasedSpares(int keep) {
        bool changed = false;
        for (auto it = released_.begin(); it != released_.end();) {
            const KeyCode code = borrowed_.at(*it);
            if (code == keep) {
                ++it;
                continue;
            }
            UnmapSpare(code);
            borrowed_.erase(*it);
            it = released_.erase(it);
            changed = true;
        }
        if (changed)
            RefreshKeymap();
    }

    void UnmapSpare(KeyCode code) {
        KeySym none = NoSymbol;
        XChangeKeyboardMapping(display_, code, 1, &none, 1);
        XSync(display_, False);
    }

    std::optional<KeyCode> FindSpare() {
        int first = 0, last = 0;
        XDisplayKeycodes(display_, &first, &last);
        int perCode = 0;
        KeySym* symbols =
            XGetKeyboardMapping(display_, static_cast<KeyCode>(first), last - first + 1, &perCode);
        if (symbols == nullptr)
            return std::nullopt;
        std::optional<KeyCode> spare;
        for (int code = last; code >= first && !spare; --code) {
            bool empty = true;
            for (int i = 0; i < perCode; ++i)
                empty = empty && symbols[(code - first) * perCode + i] == NoSymbol;
            if (empty && !InUse(static_cast<KeyCode>(code)))
                spare = static_cast<KeyCode>(code);
        }
        XFree(symbols);
        return spare;
    }

    bool InUse(KeyCode code) const {
        for (const auto& [vk, borrowed] : borrowed_)
            if (borrowed == code)
                return true;
        return false;
    }

    Display* display_ = nullptr;
    std::string problem_;
    XkbDescPtr keymap_ = nullptr;
    // Spare key codes given key syms, by the key or character they stand in for.
    std::map<std::uint8_t, KeyCode> borrowed_;
    std::set<std::uint8_t> released_; // borrowed, released, not yet given back
    // Borrowed for characters that no Shift state of their own key gives
    // under the locks, and kept while the locks last.
    std::set<std::uint8_t> lockSpares_;
};

} // namespace

std::unique_ptr<TKeyboard> MakeXTestKeyboard() {
    return std::make_unique<TXTestKeyboard>();
}

} // namespace lorvent
