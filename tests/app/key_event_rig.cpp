#include "key_event_rig.h"

#include "app/keyboard/keyboard_layout_source.h"

#include <libevdev/libevdev.h>
#include <xkbcommon/xkbcommon.h>

#include <stdexcept>
#include <unistd.h>

namespace lorvent::testing {

std::string DescribeEvent(const input_event& event) {
    if (event.type == EV_SYN && event.code == SYN_REPORT)
        return "SYN";
    const char* name = libevdev_event_code_get_name(event.type, event.code);
    return std::string(name != nullptr ? name : "?") + " " + std::to_string(event.value);
}

std::vector<input_event> DrainEvents(int fd) {
    std::vector<input_event> events;
    input_event event{};
    while (read(fd, &event, sizeof event) == static_cast<ssize_t>(sizeof event))
        events.push_back(event);
    return events;
}

TCompositor::TCompositor(const TXkbLayout& layout, TLockState locks)
    : state_(xkb_state_new(layout.Keymap())) {
    xkb_keymap* keymap = layout.Keymap();
    const auto mask = [keymap](const char* name) {
        return xkb_mod_mask_t{1} << xkb_keymap_mod_get_index(keymap, name);
    };
    const xkb_mod_mask_t locked = (locks.capsLock ? mask(XKB_MOD_NAME_CAPS) : 0) |
                                  (locks.numLock ? mask(XKB_MOD_NAME_NUM) : 0);
    xkb_state_update_mask(state_, 0, 0, locked, 0, 0, 0);
}

TCompositor::~TCompositor() {
    xkb_state_unref(state_);
}

void TCompositor::Feed(const input_event& event) {
    if (event.type != EV_KEY)
        return;
    const auto key = static_cast<xkb_keycode_t>(event.code + kXkbKeycodeOffset);
    if (event.value == 1) {
        char utf8[8] = {};
        xkb_state_key_get_utf8(state_, key, utf8, sizeof utf8);
        text_ += utf8;
    }
    xkb_state_update_key(state_, key, event.value == 0 ? XKB_KEY_UP : XKB_KEY_DOWN);
}

std::unique_ptr<TXkbLayout> CompiledLayout(const std::string& names) {
    std::string problem;
    auto layout = TXkbLayout::Compile(ParseLayoutOverride(names).value(), problem);
    if (!layout)
        throw std::runtime_error(problem);
    return layout;
}

input_event Light(int led, bool on) {
    input_event event{};
    event.type = EV_LED;
    event.code = static_cast<__u16>(led);
    event.value = on ? 1 : 0;
    return event;
}

} // namespace lorvent::testing
