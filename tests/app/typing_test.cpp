#include "app/startup/command_line.h"
#include "app/keyboard/typing.h"
#include "fakes.h"

#include <gtest/gtest.h>

namespace lorvent::testing {
namespace {

constexpr int kShiftScan = 0x2A;
constexpr int kCtrlScan = 0x1D;
constexpr int kAltScan = 0x38;
constexpr int kEnterScan = 0x1C;
constexpr int kF2 = 0x71;
constexpr int kF2Scan = 0x3C;

std::string Dump(const std::vector<TKeyRecord>& records) {
    std::string text;
    for (const auto& record : records)
        text += Describe(record) + "\n";
    return text;
}

void ExpectJournal(const TRecordingKeyboard& keyboard, const std::vector<TKeyRecord>& expected) {
    EXPECT_EQ(keyboard.journal, expected) << "got:\n"
                                          << Dump(keyboard.journal) << "expected:\n"
                                          << Dump(expected);
}

// The example: Ctrl+F2 prefix, a number starting 0 and a, Enter on.
TEST(TypeCardNumber, PrefixDigitShiftedLetterAndEnter) {
    TRecordingKeyboard keyboard = UsKeyboard();
    TypeCardNumber(keyboard, keyboard, {kF2, kModCtrl, true}, "0a");
    ExpectJournal(keyboard, {
                                Down(0x11, kCtrlScan),
                                Down(kF2, kF2Scan),
                                Up(kF2, kF2Scan),
                                Up(0x11, kCtrlScan),
                                PauseMs(200),
                                Down(0x30, 0x30),
                                Up(0x30, 0x30),
                                Down(0x10, kShiftScan),
                                Down(0x41, 0x41),
                                Up(0x41, 0x41),
                                Up(0x10, kShiftScan),
                                PauseMs(100),
                                Down(0x0D, kEnterScan),
                                Up(0x0D, kEnterScan),
                            });
    EXPECT_EQ(keyboard.layoutLookups, 2) << "the layout is looked up for every character";
}

TEST(TypeCardNumber, ModifiersPressedShiftCtrlAltReleasedAltCtrlShift) {
    TRecordingKeyboard keyboard = UsKeyboard();
    TypeCardNumber(keyboard, keyboard, {'A', kModAlt | kModCtrl | kModShift, false}, "");
    ExpectJournal(keyboard, {
                                Down(0x10, kShiftScan),
                                Down(0x11, kCtrlScan),
                                Down(0x12, kAltScan),
                                Down('A', 0x1E),
                                Up('A', 0x1E),
                                Up(0x12, kAltScan),
                                Up(0x11, kCtrlScan),
                                Up(0x10, kShiftScan),
                                PauseMs(200),
                                PauseMs(100),
                            });
}

TEST(TypeCardNumber, WithoutPrefixKeyModifiersAreIgnoredAndThereIsNoPrefixPause) {
    TRecordingKeyboard keyboard = UsKeyboard();
    TypeCardNumber(keyboard, keyboard, {0, kModCtrl | kModAlt, true}, "7");
    ExpectJournal(keyboard, {
                                Down('7', '7'),
                                Up('7', '7'),
                                PauseMs(100),
                                Down(0x0D, kEnterScan),
                                Up(0x0D, kEnterScan),
                            });
}

TEST(TypeCardNumber, WithoutEnterThePauseStillHappens) {
    TRecordingKeyboard keyboard = UsKeyboard();
    TypeCardNumber(keyboard, keyboard, {0, 0, false}, "f0");
    ExpectJournal(keyboard, {
                                Down(0x10, kShiftScan),
                                Down('F', 'F'),
                                Up('F', 'F'),
                                Up(0x10, kShiftScan),
                                Down('0', '0'),
                                Up('0', '0'),
                                PauseMs(100),
                            });
}

// A layout with the digits on shifted keys (as Czech has them): Shift is held
// for the digit, and the key sent is still the character's own code.
TEST(TypeCardNumber, LayoutDecidesShiftButNotTheKeySent) {
    TRecordingKeyboard keyboard = UsKeyboard();
    keyboard.keyScan['1'] = kKeyScanShift | 0x31;
    keyboard.keyScan['B'] = 0x42; // a layout giving capitals without Shift
    TypeCardNumber(keyboard, keyboard, {0, 0, false}, "1b");
    ExpectJournal(keyboard, {
                                Down(0x10, kShiftScan),
                                Down('1', 0x31),
                                Up('1', 0x31),
                                Up(0x10, kShiftScan),
                                Down('B', 0x42),
                                Up('B', 0x42),
                                PauseMs(100),
                            });
}

// A character that no key gives: the all-bits answer holds Shift and sends
// scan byte 0xFF with the character's own code.
TEST(TypeCardNumber, CharacterWithoutKeyStillSendsItsCodeWithShift) {
    TRecordingKeyboard keyboard = UsKeyboard();
    keyboard.keyScan.erase('C');
    TypeCardNumber(keyboard, keyboard, {0, 0, false}, "c");
    ExpectJournal(keyboard, {
                                Down(0x10, kShiftScan),
                                Down('C', 0xFF),
                                Up('C', 0xFF),
                                Up(0x10, kShiftScan),
                                PauseMs(100),
                            });
}

// With Caps Lock on, Shift would turn a capital into a small letter: the
// keyboard's answer for the lock state decides, everything else stays as it
// was (a character without a key still goes with Shift and scan byte 0xFF).
TEST(TypeCardNumber, CapsLockLeavesShiftOffForCapitals) {
    TRecordingKeyboard keyboard = UsKeyboard();
    keyboard.capsLock = true;
    keyboard.keyScan.erase('C');
    TypeCardNumber(keyboard, keyboard, {0, 0, true}, "0ac");
    ExpectJournal(keyboard, {
                                Down('0', '0'),
                                Up('0', '0'),
                                Down('A', 0x41),
                                Up('A', 0x41),
                                Down(0x10, kShiftScan),
                                Down('C', 0xFF),
                                Up('C', 0xFF),
                                Up(0x10, kShiftScan),
                                PauseMs(100),
                                Down(0x0D, kEnterScan),
                                Up(0x0D, kEnterScan),
                            });
}

// The key delay goes between two characters and nowhere else: the prefix
// keeps its own pause, the pause before Enter stays 100 ms.
TEST(TypeCardNumber, KeyDelayPausesBetweenCharactersOnly) {
    const struct {
        TTypingSetup setup;
        const char* number;
        std::vector<TKeyRecord> expected;
    } cases[] = {
        {{0, 0, true, 30}, "0a",
         {Down('0', '0'), Up('0', '0'), PauseMs(30), Down(0x10, kShiftScan), Down('A', 0x41),
          Up('A', 0x41), Up(0x10, kShiftScan), PauseMs(100), Down(0x0D, kEnterScan),
          Up(0x0D, kEnterScan)}},
        {{kF2, kModCtrl, false, 250}, "12",
         {Down(0x11, kCtrlScan), Down(kF2, kF2Scan), Up(kF2, kF2Scan), Up(0x11, kCtrlScan),
          PauseMs(200), Down('1', '1'), Up('1', '1'), PauseMs(250), Down('2', '2'), Up('2', '2'),
          PauseMs(100)}},
        {{0, 0, false, 1000}, "7", {Down('7', '7'), Up('7', '7'), PauseMs(100)}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.number);
        TRecordingKeyboard keyboard = UsKeyboard();
        TypeCardNumber(keyboard, keyboard, c.setup, c.number);
        ExpectJournal(keyboard, c.expected);
    }
}

TEST(TypeCardNumber, TenDigitNumberIsTypedInOrderUpperCased) {
    TRecordingKeyboard keyboard = UsKeyboard();
    TypeCardNumber(keyboard, keyboard, {0, 0, true}, "012aff007b");
    std::string typed;
    for (const auto& record : keyboard.journal)
        if (record.kind == TKeyRecord::Key && !record.up && record.vk != 0x10)
            typed += static_cast<char>(record.vk);
    EXPECT_EQ(typed, "012AFF007B\r");
}

} // namespace
} // namespace lorvent::testing
