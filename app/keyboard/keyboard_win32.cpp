// Simulated key strokes on Windows: VkKeyScanExA, MapVirtualKeyA and
// keybd_event as the typing rules have them, in their order.
#include "keyboard_win32.h"

namespace lorvent {

namespace {

// The Shift bit of VkKeyScanExA's answer.
constexpr int kKeyScanShift = 0x100;
// A stroke's scan code that is the key's own, looked up (MapVirtualKeyA)
// just before each of its events.
constexpr int kScanOfTheKey = -1;

class TWin32Keyboard : public TKeyboard {
public:
    explicit TWin32Keyboard(std::unique_ptr<TUser32Keys> user32) : user32_(std::move(user32)) {}

    // keybd_event needs nothing set up and reports no failure.
    std::string Unavailable() override { return {}; }

    // The key sent is the character code itself; the layout in front and the
    // lock keys only decide whether Shift is held (Shift with Caps Lock on
    // would give a small letter), and the low byte of the layout's key scan
    // rides as the scan code.
    TStroke CharacterStroke(char c) override {
        const HKL layout = user32_->ForegroundLayout();
        const SHORT keyScan = user32_->VkKeyScanExA(c, layout);
        TStroke stroke;
        stroke.key = static_cast<unsigned char>(c);
        stroke.scan = keyScan & 0xFF;
        stroke.shift = ShiftNeeded(c, keyScan, layout);
        return stroke;
    }

    TStroke VirtualKeyStroke(std::uint8_t vk) override {
        TStroke stroke;
        stroke.key = vk;
        stroke.scan = kScanOfTheKey;
        return stroke;
    }

    // The held keys carry their own scan codes.
    void Strike(const TStroke& stroke) override {
        InStrokeOrder(
            stroke, [this](std::uint8_t vk, bool down) { Send(vk, kScanOfTheKey, down); },
            [this, &stroke](bool down) { Send(stroke.key, stroke.scan, down); });
    }

private:
    void Send(int vk, int scan, bool down) {
        const auto key = static_cast<BYTE>(vk);
        const auto scanByte = static_cast<BYTE>(
            scan == kScanOfTheKey ? user32_->MapVirtualKeyA(key, MAPVK_VK_TO_VSC) : scan);
        user32_->keybd_event(key, scanByte, down ? 0 : KEYEVENTF_KEYUP, 0);
    }

    // With Caps Lock on, a key that Caps Lock affects gives the capital
    // without Shift and the small letter with it: the layout itself says
    // which Shift state gives the character. Unless its own window is in
    // front, this thread handles no keyboard input, and Windows keeps its key
    // state in step with the system's: the toggle read is the one in force.
    bool ShiftNeeded(char c, SHORT keyScan, HKL layout) {
        const bool scanned = (keyScan & kKeyScanShift) != 0;
        if (keyScan == -1 || (user32_->GetKeyState(VK_CAPITAL) & 1) == 0)
            return scanned;
        const auto vk = static_cast<UINT>(keyScan & 0xFF);
        for (const bool shift : {scanned, !scanned})
            if (user32_->CharacterWithCapsLock(vk, shift, layout) == static_cast<unsigned char>(c))
                return shift;
        return scanned;
    }

    std::unique_ptr<TUser32Keys> user32_;
};

} // namespace

// With no window in front the thread id is 0, which gives the layout of the
// calling thread.
HKL TUser32Keys::ForegroundLayout() {
    return GetKeyboardLayout(GetWindowThreadProcessId(GetForegroundWindow(), nullptr));
}

SHORT TUser32Keys::VkKeyScanExA(CHAR c, HKL layout) {
    return ::VkKeyScanExA(c, layout);
}

SHORT TUser32Keys::GetKeyState(int vk) {
    return ::GetKeyState(vk);
}

// The lookup leaves the keyboard state of this thread as it was.
int TUser32Keys::CharacterWithCapsLock(UINT vk, bool shift, HKL layout) {
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

UINT TUser32Keys::MapVirtualKeyA(UINT code, UINT mapType) {
    return ::MapVirtualKeyA(code, mapType);
}

void TUser32Keys::keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) {
    ::keybd_event(vk, scan, flags, extraInfo);
}

std::unique_ptr<TKeyboard> MakeWin32Keyboard(std::unique_ptr<TUser32Keys> user32) {
    return std::make_unique<TWin32Keyboard>(std::move(user32));
}

std::unique_ptr<TKeyboard> MakePlatformKeyboard() {
    return MakeWin32Keyboard(std::make_unique<TUser32Keys>());
}

} // namespace lorvent
