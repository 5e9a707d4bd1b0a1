#include "xkb_layout.h"

#include <xkbcommon/xkbcommon.h>

#include <bit>

namespace lorvent {

namespace {

xkb_mod_mask_t MaskOf(xkb_keymap* keymap, const char* name) {
    const xkb_mod_index_t index = xkb_keymap_mod_get_index(keymap, name);
    return index == XKB_MOD_INVALID ? 0 : xkb_mod_mask_t{1} << index;
}

// AltGr (level three) is Mod5 in the usual rules: Ctrl+Alt in key-scan terms.
int ShiftStateOf(xkb_keymap* keymap, xkb_mod_mask_t mask) {
    int state = 0;
    if (mask & MaskOf(keymap, XKB_MOD_NAME_SHIFT))
        state |= 1;
    if (mask & MaskOf(keymap, XKB_MOD_NAME_CTRL))
        state |= 2;
    if (mask & MaskOf(keymap, XKB_MOD_NAME_ALT))
        state |= 4;
    if (mask & MaskOf(keymap, "Mod5"))
        state |= 2 | 4;
    return state;
}

// The evdev number of the right Alt key (KEY_RIGHTALT), AltGr on the keyboards
// whose layout has a level three.
constexpr int kRightAltKey = 100;

bool GivesAtFirstLevel(xkb_keymap* keymap, int key, xkb_keysym_t keysym) {
    const xkb_keysym_t* syms = nullptr;
    const int count = xkb_keymap_key_get_syms_by_level(
        keymap, static_cast<xkb_keycode_t>(key + kXkbKeycodeOffset), 0, 0, &syms);
    return count == 1 && syms[0] == keysym;
}

} // namespace

std::unique_ptr<TXkbLayout> TXkbLayout::Compile(const TXkbNames& names, std::string& problem) {
    // The names given are the whole setting: XKB_DEFAULT_* must not fill gaps.
    xkb_context* context = xkb_context_new(XKB_CONTEXT_NO_ENVIRONMENT_NAMES);
    if (context == nullptr) {
        problem = "knihovnu libxkbcommon nelze spustit";
        return nullptr;
    }
    const xkb_rule_names rules{nullptr, names.model.c_str(), names.layout.c_str(),
                               names.variant.c_str(), names.options.c_str()};
    xkb_keymap* keymap = xkb_keymap_new_from_names(context, &rules, XKB_KEYMAP_COMPILE_NO_FLAGS);
    const std::string name =
        names.layout + (names.variant.empty() ? "" : "(" + names.variant + ")");
    if (keymap == nullptr) {
        xkb_context_unref(context);
        problem = "rozložení klávesnice '" + name + "' XKB nezná";
        return nullptr;
    }
    return std::unique_ptr<TXkbLayout>(new TXkbLayout(context, keymap, name));
}

TXkbLayout::TXkbLayout(xkb_context* context, xkb_keymap* keymap, std::string name)
    : context_(context), keymap_(keymap), name_(std::move(name)),
      level3Key_(FindKey(XKB_KEY_ISO_Level3_Shift)) {
    // The key a person would hold is preferred to the layout's hidden ones.
    if (GivesAtFirstLevel(keymap_, kRightAltKey, XKB_KEY_ISO_Level3_Shift))
        level3Key_ = kRightAltKey;
}

TXkbLayout::~TXkbLayout() {
    xkb_keymap_unref(keymap_);
    xkb_context_unref(context_);
}

std::optional<int> TXkbLayout::FindKey(std::uint32_t keysym, int* modifiers) const {
    std::optional<int> best;
    xkb_level_index_t bestLevel = 0;
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap_);
    for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap_); key <= last; ++key) {
        if (key < kXkbKeycodeOffset)
            continue;
        const xkb_level_index_t levels = xkb_keymap_num_levels_for_key(keymap_, key, 0);
        for (xkb_level_index_t level = 0; level < levels && (!best || level < bestLevel); ++level) {
            const xkb_keysym_t* syms = nullptr;
            const int count = xkb_keymap_key_get_syms_by_level(keymap_, key, 0, level, &syms);
            if (count == 1 && syms[0] == keysym) {
                best = static_cast<int>(key) - kXkbKeycodeOffset;
                bestLevel = level;
            }
        }
    }
    if (best && modifiers != nullptr) {
        // Of the masks that select the level, the one with the fewest
        // modifiers, Caps Lock left aside.
        xkb_mod_mask_t masks[16];
        const std::size_t count = xkb_keymap_key_get_mods_for_level(
            keymap_, static_cast<xkb_keycode_t>(*best + kXkbKeycodeOffset), 0, bestLevel, masks,
            16);
        const xkb_mod_mask_t lock = MaskOf(keymap_, XKB_MOD_NAME_CAPS);
        std::optional<xkb_mod_mask_t> chosen;
        for (std::size_t i = 0; i < count; ++i) {
            const xkb_mod_mask_t mask = masks[i] & ~lock;
            if (bestLevel == 0 ? mask == 0 : mask != 0)
                if (!chosen || std::popcount(mask) < std::popcount(*chosen))
                    chosen = mask;
        }
        *modifiers =
            bestLevel == 0
                ? 0
                : ShiftStateOf(keymap_, chosen.value_or(MaskOf(keymap_, XKB_MOD_NAME_SHIFT)));
    }
    return best;
}

std::uint32_t TXkbLayout::Struck(const TStroke& stroke, TLockState locks) const {
    xkb_state* state = xkb_state_new(keymap_);
    if (state == nullptr)
        return 0;
    const xkb_mod_mask_t depressed = stroke.shift ? MaskOf(keymap_, XKB_MOD_NAME_SHIFT) : 0;
    const xkb_mod_mask_t locked = (locks.capsLock ? MaskOf(keymap_, XKB_MOD_NAME_CAPS) : 0) |
                                  (locks.numLock ? MaskOf(keymap_, XKB_MOD_NAME_NUM) : 0);
    xkb_state_update_mask(state, depressed, 0, locked, 0, 0, 0);
    if (stroke.level3) {
        if (!level3Key_) {
            xkb_state_unref(state);
            return 0;
        }
        // Held as a compositor sees it: the key's own action sets the level.
        xkb_state_update_key(state, static_cast<xkb_keycode_t>(*level3Key_ + kXkbKeycodeOffset),
                             XKB_KEY_DOWN);
    }
    const std::uint32_t character =
        xkb_state_key_get_utf32(state, static_cast<xkb_keycode_t>(stroke.key + kXkbKeycodeOffset));
    xkb_state_unref(state);
    return character;
}

std::optional<TStroke> TXkbLayout::StrokeGiving(std::uint32_t character, TLockState locks) const {
    const xkb_keycode_t last = xkb_keymap_max_keycode(keymap_);
    for (const bool level3 : {false, true}) {
        if (level3 && !level3Key_)
            break;
        for (const bool shift : {false, true}) {
            for (xkb_keycode_t key = xkb_keymap_min_keycode(keymap_); key <= last; ++key) {
                if (key < kXkbKeycodeOffset)
                    continue;
                const TStroke stroke{.key = static_cast<int>(key) - kXkbKeycodeOffset,
                                     .shift = shift,
                                     .level3 = level3};
                if (Struck(stroke, locks) == character)
                    return stroke;
            }
        }
    }
    return std::nullopt;
}

} // namespace lorvent
