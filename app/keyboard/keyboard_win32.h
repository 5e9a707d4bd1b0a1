#pragma once

#include "keyboard.h"

#include <windows.h>

#include <memory>

namespace lorvent {

// The user32 calls the Windows keyboard makes, one method each, named after
// its function: the real ones here, a recorder in the tests of their order.
class TUser32Keys {
public:
    virtual ~TUser32Keys() = default;

    // The layout of the window in front: GetKeyboardLayout of its thread.
    virtual HKL ForegroundLayout();
    virtual SHORT VkKeyScanExA(CHAR c, HKL layout);
    virtual SHORT GetKeyState(int vk);
    // The one character the key gives in `layout` with Caps Lock on, or -1
    // (MapVirtualKeyExW and ToUnicodeEx).
    virtual int CharacterWithCapsLock(UINT vk, bool shift, HKL layout);
    virtual UINT MapVirtualKeyA(UINT code, UINT mapType);
    virtual void keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo);
};

// The keyboard that types through `user32`.
std::unique_ptr<TKeyboard> MakeWin32Keyboard(std::unique_ptr<TUser32Keys> user32);

} // namespace lorvent
