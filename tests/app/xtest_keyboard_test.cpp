// The XTest keyboard under an Xvfb of the test's own, typing into a small
// X client that holds the focus and reports every key press.
// GoogleTest first: the X headers define macros (None, Bool) that it uses as names.
#include <gtest/gtest.h>

#include "app/startup/command_line.h"
#include "app/keyboard/keyboard.h"
#include "app/keyboard/typing.h"
#include "app/system_clock.h"
#include "support/program_rig.h"

#include <X11/XKBlib.h>
#include <X11/Xlib.h>
#include <X11/extensions/XTest.h>
#include <X11/keysym.h>

#include <cstdlib>
#include <tuple>

namespace lorvent::testing {
namespace {

// One display and one key window for the whole suite; the keyboard under test
// types on $DISPLAY.
std::unique_ptr<TProgramRig> rig;

class XTestKeyboard : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        rig = std::make_unique<TProgramRig>();
        ASSERT_TRUE(rig->StartX()) << "Xvfb did not start";
        setenv("DISPLAY", rig->Display().c_str(), 1);
        ASSERT_TRUE(rig->StartKeyWindow({"--times"})) << rig->keyWindow->Stderr();
    }
    static void TearDownTestSuite() { rig.reset(); }
    void SetUp() override {
        ASSERT_NE(rig->keyWindow, nullptr);
        rig->keyWindow->TakeNewLines();
        keyboard = MakePlatformKeyboard();
        ASSERT_EQ(keyboard->Unavailable(), "");
    }

    // Key presses the window reported up to the line that Return ended.
    std::vector<std::string> KeysUpToLine(std::string* line = nullptr) {
        TTypedLine typed = ReadTypedLine(*rig->keyWindow, 10s);
        EXPECT_TRUE(typed.line.has_value()) << "no Return arrived";
        if (line && typed.line)
            *line = *typed.line;
        return typed.keys;
    }

    std::unique_ptr<TKeyboard> keyboard;
    TSystemClock clock;
};

TEST_F(XTestKeyboard, CardNumberArrivesUpperCasedWithPrefixAndEnter) {
    TypeCardNumber(*keyboard, clock, {0x71, kModCtrl, true}, "0a9f");
    std::string line;
    const auto keys = KeysUpToLine(&line);
    EXPECT_EQ(line, "0A9F");
    EXPECT_EQ(keys,
              (std::vector<std::string>{"Control_L -", "F2 ctrl", "0 -", "Shift_L -", "A shift",
                                        "9 -", "Shift_L -", "F shift", "Return -"}));
}

// The key window stamps each press with the X server's time: after each
// character's key, the next stroke's first press (Shift or a key) comes at
// least the key delay later.
TEST_F(XTestKeyboard, CharactersAreAtLeastTheKeyDelayApart) {
    constexpr unsigned long kDelayMs = 60;
    TypeCardNumber(*keyboard, clock, {0, 0, true, static_cast<int>(kDelayMs)}, "0a9f");
    std::vector<std::pair<std::string, unsigned long>> presses; // key sym, server time
    unsigned long stamp = 0;
    const auto end = rig->keyWindow->WaitForLine(
        [&](const std::string& text) {
            if (text.rfind("time ", 0) == 0)
                stamp = std::stoul(text.substr(5));
            else if (text.rfind("key ", 0) == 0)
                presses.emplace_back(text.substr(4, text.find(' ', 4) - 4), stamp);
            return text.rfind("line ", 0) == 0;
        },
        10s);
    ASSERT_TRUE(end.has_value()) << "no Return arrived";
    EXPECT_EQ(*end, "line 0A9F");
    int characters = 0;
    for (std::size_t i = 0; i + 1 < presses.size(); ++i) {
        const auto& [key, at] = presses[i];
        if (key == "Shift_L" || key == "Return" || presses[i + 1].first == "Return")
            continue;
        ++characters;
        EXPECT_GE(presses[i + 1].second - at, kDelayMs) << "after " << key;
    }
    EXPECT_EQ(characters, 3) << "the pauses after 0, A and 9";
}

TEST_F(XTestKeyboard, AllModifiersAndALetterPrefix) {
    TypeCardNumber(*keyboard, clock, {'Z', kModAlt | kModShift | kModCtrl, true}, "1");
    const auto keys = KeysUpToLine();
    ASSERT_GE(keys.size(), 4u);
    EXPECT_EQ(keys[3], "Z shift+ctrl+alt");
}

// F13 to F24 have no key in the usual layout: a spare key code carries the
// stroke and is given back afterwards.
TEST_F(XTestKeyboard, FunctionKeyMissingFromTheLayoutStillArrives) {
    Display* display = XOpenDisplay(nullptr);
    ASSERT_NE(display, nullptr);
    ASSERT_EQ(XKeysymToKeycode(display, XK_F13), 0) << "the layout has F13 after all";
    EXPECT_NE(keyboard->VirtualKeyStroke(0x7C).key, 0)
        << "a spare key code carries a key the layout lacks";

    TypeCardNumber(*keyboard, clock, {0x7C, 0, true}, "7");
    const auto keys = KeysUpToLine();
    EXPECT_EQ(keys, (std::vector<std::string>{"F13 -", "7 -", "Return -"}));
    XSync(display, False);
    XCloseDisplay(display);
    display = XOpenDisplay(nullptr);
    EXPECT_EQ(XKeysymToKeycode(display, XK_F13), 0) << "the spare key code was not given back";
    XCloseDisplay(display);
}

// Shift is decided by where the layout puts a character: with the digit 0 on
// the shifted level of its key (as in the Czech layout), Shift is held for it.
TEST_F(XTestKeyboard, LayoutWithShiftedDigitHoldsShiftForIt) {
    Display* display = XOpenDisplay(nullptr);
    const KeyCode zeroKey = XKeysymToKeycode(display, XK_0);
    ASSERT_NE(zeroKey, 0);
    int perCode = 0;
    KeySym* saved = XGetKeyboardMapping(display, zeroKey, 1, &perCode);
    KeySym czech[] = {XK_eacute, XK_0};
    XChangeKeyboardMapping(display, zeroKey, 2, czech, 1);
    XSync(display, False);

    EXPECT_EQ(keyboard->CharacterStroke('0'), (TStroke{.key = zeroKey, .shift = true}));
    EXPECT_EQ(keyboard->CharacterStroke('1'), (TStroke{.key = XKeysymToKeycode(display, XK_1)}));
    TypeCardNumber(*keyboard, clock, {0, 0, true}, "01");
    std::string line;
    const auto keys = KeysUpToLine(&line);
    EXPECT_EQ(line, "01");
    EXPECT_EQ(keys, (std::vector<std::string>{"Shift_L -", "0 shift", "1 -", "Return -"}));

    XChangeKeyboardMapping(display, zeroKey, perCode, saved, 1);
    XFree(saved);
    XSync(display, False);
    XCloseDisplay(display);
}

// Linux numbers its keys like the PC's scan codes, and X key codes are those
// numbers plus 8.
TEST_F(XTestKeyboard, StrokesFollowThePcNumbering) {
    const auto key = [](int pcScanCode) { return pcScanCode + 8; };
    EXPECT_EQ(keyboard->CharacterStroke('A'), (TStroke{.key = key(0x1E), .shift = true}));
    EXPECT_EQ(keyboard->CharacterStroke('a'), (TStroke{.key = key(0x1E)}));
    EXPECT_EQ(keyboard->CharacterStroke('7'), (TStroke{.key = key(0x08)}));
    EXPECT_EQ(keyboard->CharacterStroke('~'),
              (TStroke{.key = keyboard->VirtualKeyStroke('~').key, .shift = true}))
        << "only letters, digits and space are looked up: the rest go as their code, with Shift";
    EXPECT_EQ(keyboard->VirtualKeyStroke(kVkReturn), (TStroke{.key = key(0x1C)}));
    EXPECT_EQ(keyboard->VirtualKeyStroke(kVkShift).key, key(0x2A));
    EXPECT_EQ(keyboard->VirtualKeyStroke(kVkControl).key, key(0x1D));
    EXPECT_EQ(keyboard->VirtualKeyStroke(kVkMenu).key, key(0x38));
    EXPECT_EQ(keyboard->VirtualKeyStroke('A').key, key(0x1E));
    EXPECT_EQ(keyboard->VirtualKeyStroke(0x71).key, key(0x3C));
}

// ---- Layouts and lock keys ----

// The lock keys a user can leave on, pressed as the user presses them.
struct TLock {
    const char* name;
    KeySym key;          // NoSymbol: no lock on
    const char* option;  // the XKB option that puts it on the Caps Lock key
};

void PrintTo(const TLock& lock, std::ostream* out) {
    *out << lock.name;
}

const TLock kLocks[] = {
    {"none", NoSymbol, ""},
    {"CapsLock", XK_Caps_Lock, ""},
    {"ShiftLock", XK_Shift_Lock, "caps:shiftlock"},
    {"NumLock", XK_Num_Lock, ""},
};

class XTestKeyboardLocks
    : public XTestKeyboard,
      public ::testing::WithParamInterface<std::tuple<const char*, TLock>> {
protected:
    void SetUp() override {
        XTestKeyboard::SetUp();
        display = XOpenDisplay(nullptr);
        ASSERT_NE(display, nullptr);
    }
    void TearDown() override {
        if (display != nullptr && LockedModifiers() != 0)
            XkbLockModifiers(display, XkbUseCoreKbd, ~0u, 0);
        SetLayout("us", "");
        if (display != nullptr)
            XCloseDisplay(display);
    }

    static void SetLayout(const std::string& layout, const std::string& option) {
        const std::string command = "setxkbmap -layout " + layout + " -option ''" +
                                    (option.empty() ? "" : " -option " + option);
        ASSERT_EQ(std::system(command.c_str()), 0) << command;
    }
    unsigned LockedModifiers() {
        XkbStateRec state{};
        XkbGetState(display, XkbUseCoreKbd, &state);
        return state.locked_mods;
    }
    void PressAndRelease(KeySym keysym) {
        const KeyCode code = XKeysymToKeycode(display, keysym);
        ASSERT_NE(code, 0) << XKeysymToString(keysym) << " has no key";
        XTestFakeKeyEvent(display, code, True, CurrentTime);
        XTestFakeKeyEvent(display, code, False, CurrentTime);
        XSync(display, False);
    }

    Display* display = nullptr;
};

// Whatever the layout and whichever lock is on, the number arrives as it was
// read, and the lock is still on afterwards.
TEST_P(XTestKeyboardLocks, NumberArrivesAsReadAndTheLockStaysOn) {
    const auto& [layout, lock] = GetParam();
    SetLayout(layout, lock.option);
    ASSERT_EQ(LockedModifiers(), 0u);
    if (lock.key != NoSymbol)
        PressAndRelease(lock.key);
    const unsigned locked = LockedModifiers();
    ASSERT_EQ(locked != 0, lock.key != NoSymbol) << "the lock did not come on";
    // A Return first, until the window has taken in the new layout: a client
    // busy reloading the keymap could look a key code up before its mapping.
    TypeCardNumber(*keyboard, clock, {0, 0, true}, "");
    KeysUpToLine();

    TypeCardNumber(*keyboard, clock, {0, 0, true}, "0123456789abcdef");
    std::string line;
    KeysUpToLine(&line);
    EXPECT_EQ(line, "0123456789ABCDEF");
    TypeCardNumber(*keyboard, clock, {0, 0, true}, "fedcba9876543210");
    KeysUpToLine(&line);
    EXPECT_EQ(line, "FEDCBA9876543210");
    EXPECT_EQ(LockedModifiers(), locked) << "typing changed the lock state";
}

INSTANTIATE_TEST_SUITE_P(
    LayoutsAndLocks, XTestKeyboardLocks,
    ::testing::Combine(::testing::Values("us", "cz", "fr", "de"), ::testing::ValuesIn(kLocks)),
    [](const auto& param) {
        return std::string(std::get<0>(param.param)) + "_" + std::get<1>(param.param).name;
    });

TEST(XTestKeyboardAvailability, NoServerOrNoXtestIsReportedForTheUser) {
    const std::string saved = std::getenv("DISPLAY") ? std::getenv("DISPLAY") : "";
    setenv("DISPLAY", ":64999", 1); // above the numbers the tests give their servers
    EXPECT_EQ(MakePlatformKeyboard()->Unavailable(),
              "Klávesnici nelze simulovat: nelze se připojit k X serveru");

    TXvfb withoutXtest({"-extension", "XTEST"});
    ASSERT_FALSE(withoutXtest.Display().empty());
    setenv("DISPLAY", withoutXtest.Display().c_str(), 1);
    EXPECT_EQ(MakePlatformKeyboard()->Unavailable(),
              "Klávesnici nelze simulovat: X server nemá rozšíření XTEST");
    setenv("DISPLAY", saved.c_str(), 1);
}

} // namespace
} // namespace lorvent::testing
