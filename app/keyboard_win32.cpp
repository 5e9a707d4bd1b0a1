// Simulated key strokes on Windows: the calls of the typing rules, one to one.
#include "keyboard.h"

#include <windows.h>

// windows.h maps these names onto its A and W functions; here they are the
// interface's own.
#undef VkKeyScanEx
#undef MapVirtualKey

namespace lorvent {

namespace {

class TWin32Keyboard : public TKeyboard {
public:
    // keybd_event needs nothing set up and reports no failure.
    std::string Unavailable() override { return {}; }

    // With no window in front the thread id is 0, which gives the layout of
    // the calling thread.
    TKeyboardLayout ForegroundLayout() override {
        const DWORD thread = GetWindowThreadProcessId(GetForegroundWindow(), nullptr);
        return reinterpret_cast<TKeyboardLayout>(GetKeyboardLayout(thread));
    }

    std::int16_t VkKeyScanEx(char c, TKeyboardLayout layout) override {
        return VkKeyScanExA(c, reinterpret_cast<HKL>(layout));
    }

    std::uint8_t MapVirtualKey(std::uint8_t vk) override {
        return static_cast<std::uint8_t>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    }

    void KeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override {
        keybd_event(vk, scan, flags, 0);
    }
};

} // namespace

std::unique_ptr<TKeyboard> MakePlatformKeyboard() {
    return std::make_unique<TWin32Keyboard>();
}

} // namespace lorvent
