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

    // With Caps Lock on, a key that Caps Lock affects gives the capital
    // without Shift and the small letter with it: the layout itself says
    // which Shift state gives the character. Unless its own window is in
    // front, this thread handles no keyboard input, and Windows keeps its key
    // state in step with the system's: the toggle read is the one in force.
    bool ShiftNeeded(char c, std::int16_t keyScan, TKeyboardLayout layout) override {
        const bool scanned = (keyScan & kKeyScanShift) != 0;
        if (keyScan == -1 || (GetKeyState(VK_CAPITAL) & 1) == 0)
            return scanned;
        const auto vk = static_cast<UINT>(keyScan & 0xFF);
        for (const bool shift : {scanned, !scanned})
            if (CharacterWithCapsLock(vk, shift, reinterpret_cast<HKL>(layout)) ==
                static_cast<unsigned char>(c))
                return shift;
        return scanned;
    }

    std::uint8_t MapVirtualKey(std::uint8_t vk) override {
        return static_cast<std::uint8_t>(MapVirtualKeyA(vk, MAPVK_VK_TO_VSC));
    }

    void KeyEvent(std::uint8_t vk, std::uint8_t scan, std::uint32_t flags) override {
        keybd_event(vk, scan, flags, 0);
    }

private:
    // The one character the key gives in `layout` with Caps Lock on, or -1.
    // The lookup leaves the keyboard state of this thread as it was.
    static int CharacterWithCapsLock(UINT vk, bool shift, HKL layout) {
        constexpr UINT kKeepKeyboardState = 0x4;
        BYTE keys[256] = {};
        keys[VK_CAPITAL] = 0x01;
        if (shift)
            keys[VK_SHIFT] = 0x80;
        WCHAR text[4] = {};
        const UINT scan = MapVirtualKeyExW(vk, MAPVK_VK_TO_VSC, layout);
        const int count = ToUnicodeEx(vk, scan, keys, text, 4, kKeepKeyboardState, layout);
        return count == 1 ? text[0] : -1;
    }
};

} // namespace

std::unique_ptr<TKeyboard> MakePlatformKeyboard() {
    return std::make_unique<TWin32Keyboard>();
}

} // namespace lorvent
