// The Windows keyboard's user32 calls in their order, against a scripted
// layout: what a card number's typing asks of VkKeyScanExA, MapVirtualKeyA
// and keybd_event, and with which codes.
#include "app/startup/command_line.h"
#include "app/keyboard/keyboard_win32.h"
#include "app/keyboard/typing.h"

#include <gtest/gtest.h>

#include <chrono>
#include <cstdio>
#include <map>
#include <ostream>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {
namespace {

const HKL kLayout = reinterpret_cast<HKL>(0x409);

std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%02x", value);
    return text;
}

// A US-English-like layout: digits unshifted, capitals with Shift, the scan
// codes of a PC keyboard. Every call is written down; pauses go in between.
class TScriptedUser32 : public TUser32Keys, public TAppClock {
public:
    explicit TScriptedUser32(std::vector<std::string>& calls) : calls_(calls) {}

    bool capsLock = false;
    std::map<char, SHORT> keyScans;

    HKL ForegroundLayout() override {
        calls_.push_back("ForegroundLayout");
        return kLayout;
    }
    SHORT VkKeyScanExA(CHAR c, HKL layout) override {
        calls_.push_back(std::string("VkKeyScanExA ") + c + (layout == kLayout ? "" : " ?"));
        const auto it = keyScans.find(c);
        return it == keyScans.end() ? -1 : it->second;
    }
    SHORT GetKeyState(int vk) override {
        calls_.push_back("GetKeyState " + Hex(vk));
        return vk == VK_CAPITAL && capsLock ? 1 : 0;
    }
    // Caps Lock on a letter key gives the capital without Shift.
    int CharacterWithCapsLock(UINT vk, bool shift, HKL) override {
        calls_.push_back("CharacterWithCapsLock " + Hex(vk) + (shift ? " shift" : ""));
        const bool letter = vk >= 'A' && vk <= 'Z';
        return letter && shift ? static_cast<int>(vk - 'A' + 'a') : static_cast<int>(vk);
    }
    UINT MapVirtualKeyA(UINT code, UINT mapType) override {
        calls_.push_back("MapVirtualKeyA " + Hex(code) + (mapType == MAPVK_VK_TO_VSC ? "" : " ?"));
        const std::map<UINT, UINT> scans = {{VK_RETURN, 0x1C}, {VK_SHIFT, 0x2A}, {VK_CONTROL, 0x1D},
                                            {VK_MENU, 0x38},   {VK_F2, 0x3C},    {'A', 0x1E}};
        const auto it = scans.find(code);
        return it == scans.end() ? 0 : it->second;
    }
    void keybd_event(BYTE vk, BYTE scan, DWORD flags, ULONG_PTR extraInfo) override {
        const char* way = flags == 0 ? " down" : flags == KEYEVENTF_KEYUP ? " up" : " ?";
        calls_.push_back("keybd_event " + Hex(vk) + " " + Hex(scan) + way +
                         (extraInfo == 0 ? "" : " ?"));
    }
    std::tm Now() override { return {}; }
    void Sleep(int milliseconds) override {
        calls_.push_back("pause " + std::to_string(milliseconds));
    }

private:
    std::vector<std::string>& calls_;
};

struct TOrderCase {
    const char* name;
    bool capsLock;
    const char* keyless; // characters that no key gives
    TTypingSetup setup;
    const char* number;
    std::vector<std::string> calls;
};

void PrintTo(const TOrderCase& c, std::ostream* out) {
    *out << c.name;
}

class Win32KeyboardOrder : public ::testing::TestWithParam<TOrderCase> {};

TEST_P(Win32KeyboardOrder, CallsAndCodesAsTheTypingRulesHaveThem) {
    const TOrderCase& c = GetParam();
    std::vector<std::string> calls;
    auto user32 = std::make_unique<TScriptedUser32>(calls);
    TScriptedUser32& clock = *user32;
    for (char digit = '0'; digit <= '9'; ++digit)
        user32->keyScans[digit] = digit;
    for (char letter = 'A'; letter <= 'Z'; ++letter)
        user32->keyScans[letter] = static_cast<SHORT>(0x100 | letter);
    for (const char* keyless = c.keyless; *keyless != '\0'; ++keyless)
        user32->keyScans.erase(*keyless);
    user32->capsLock = c.capsLock;
    const auto keyboard = MakeWin32Keyboard(std::move(user32));
    TypeCardNumber(*keyboard, clock, c.setup, c.number);
    EXPECT_EQ(calls, c.calls);
}

// Each stroke starts a line, its further calls indented below; pauses apart.
// clang-format off
INSTANTIATE_TEST_SUITE_P(
    Cases, Win32KeyboardOrder,
    ::testing::Values(
        // Modifiers and virtual keys take their scan codes from MapVirtualKeyA
        // just before each event; a character's key is its own code, its scan
        // code the low byte of the key scan, and the layout is asked afresh.
        TOrderCase{"CtrlF2PrefixDigitShiftedLetterEnter", false, "",
                   {VK_F2, kModCtrl, true}, "0a", {
            "MapVirtualKeyA 11", "keybd_event 11 1d down",
                "MapVirtualKeyA 71", "keybd_event 71 3c down",
                "MapVirtualKeyA 71", "keybd_event 71 3c up",
                "MapVirtualKeyA 11", "keybd_event 11 1d up",
            "pause 200",
            "ForegroundLayout", "VkKeyScanExA 0", "GetKeyState 14",
                "keybd_event 30 30 down", "keybd_event 30 30 up",
            "ForegroundLayout", "VkKeyScanExA A", "GetKeyState 14",
                "MapVirtualKeyA 10", "keybd_event 10 2a down",
                "keybd_event 41 41 down", "keybd_event 41 41 up",
                "MapVirtualKeyA 10", "keybd_event 10 2a up",
            "pause 100",
            "MapVirtualKeyA 0d", "keybd_event 0d 1c down",
                "MapVirtualKeyA 0d", "keybd_event 0d 1c up"}},
        TOrderCase{"ModifiersPressedShiftCtrlAltReleasedAltCtrlShift", false, "",
                   {'A', kModAlt | kModCtrl | kModShift, false}, "", {
            "MapVirtualKeyA 10", "keybd_event 10 2a down",
                "MapVirtualKeyA 11", "keybd_event 11 1d down",
                "MapVirtualKeyA 12", "keybd_event 12 38 down",
                "MapVirtualKeyA 41", "keybd_event 41 1e down",
                "MapVirtualKeyA 41", "keybd_event 41 1e up",
                "MapVirtualKeyA 12", "keybd_event 12 38 up",
                "MapVirtualKeyA 11", "keybd_event 11 1d up",
                "MapVirtualKeyA 10", "keybd_event 10 2a up",
            "pause 200",
            "pause 100"}},
        // With Caps Lock on the layout says which Shift state gives the
        // capital; a character without a key (key scan -1) leaves Caps Lock
        // unread and goes with Shift and scan code ff.
        TOrderCase{"CapsLockAndACharacterWithoutKey", true, "C", {0, 0, false}, "ac", {
            "ForegroundLayout", "VkKeyScanExA A", "GetKeyState 14",
                "CharacterWithCapsLock 41 shift", "CharacterWithCapsLock 41",
                "keybd_event 41 41 down", "keybd_event 41 41 up",
            "ForegroundLayout", "VkKeyScanExA C",
                "MapVirtualKeyA 10", "keybd_event 10 2a down",
                "keybd_event 43 ff down", "keybd_event 43 ff up",
                "MapVirtualKeyA 10", "keybd_event 10 2a up",
            "pause 100"}}),
    [](const auto& test) { return std::string(test.param.name); });
// clang-format on

using TTimedCall = std::pair<bool, std::chrono::steady_clock::time_point>; // down, when

// Windows' own layout and key state; each keybd_event call timed, not sent.
// Its pauses are the program's: the thread sleeps.
struct TTimedUser32 : TUser32Keys, TAppClock {
    explicit TTimedUser32(std::vector<TTimedCall>& made) : calls(made) {}
    void keybd_event(BYTE, BYTE, DWORD flags, ULONG_PTR) override {
        calls.emplace_back(flags == 0, std::chrono::steady_clock::now());
    }
    std::tm Now() override { return {}; }
    void Sleep(int ms) override { std::this_thread::sleep_for(std::chrono::milliseconds(ms)); }
    std::vector<TTimedCall>& calls;
};

// A stroke is the calls from a press with no key held to the release that
// leaves none held: between two characters' strokes at least the key delay.
TEST(Win32KeyboardPace, KeybdEventCallsOfTwoCharactersAreAtLeastTheKeyDelayApart) {
    constexpr auto kDelay = std::chrono::milliseconds(30);
    std::vector<TTimedCall> calls;
    auto user32 = std::make_unique<TTimedUser32>(calls);
    TAppClock& clock = *user32;
    const auto keyboard = MakeWin32Keyboard(std::move(user32));
    TypeCardNumber(*keyboard, clock, {0, 0, false, static_cast<int>(kDelay.count())}, "0a9F1");
    std::vector<std::chrono::steady_clock::time_point> began, ended;
    int held = 0;
    for (const auto& [down, at] : calls) {
        if (down && held++ == 0)
            began.push_back(at);
        else if (!down && --held == 0)
            ended.push_back(at);
    }
    ASSERT_EQ(began.size(), 5u);
    ASSERT_EQ(ended.size(), 5u);
    for (std::size_t i = 1; i < began.size(); ++i)
        EXPECT_GE(began[i] - ended[i - 1], kDelay) << "before character " << i;
}

} // namespace
} // namespace lorvent::testing
