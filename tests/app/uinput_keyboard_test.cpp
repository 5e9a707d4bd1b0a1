// The uinput keyboard on a socket of the test's own: the events it writes
// are read back in order, the lights it is sent are the seat's, and the
// typed text is worked out from its events by an xkb_state of the layout, as
// a compositor does.
#include "app/startup/command_line.h"
#include "app/keyboard/keyboard_uinput.h"
#include "app/keyboard/typing.h"
#include "key_event_rig.h"
#include "support/concatenated.h"

#include <gtest/gtest.h>

#include <fcntl.h>
#include <sys/socket.h>
#include <unistd.h>

namespace lorvent::testing {
namespace {

constexpr int kF2 = 0x71;
constexpr int kF13 = 0x7C;

// The keyboard's descriptor is one end of a socket pair; the test holds the
// other. Pauses are written into the journal where they fall in the stream.
class TUinputRig : public TAppClock {
public:
    explicit TUinputRig(const std::string& layout) {
        int ends[2];
        if (socketpair(AF_UNIX, SOCK_STREAM, 0, ends) != 0)
            throw std::runtime_error("socketpair");
        fcntl(ends[1], F_SETFL, O_NONBLOCK);
        seat_ = ends[1];
        const int device = ends[0];
        keyboard = MakeUinputKeyboard([device, layout] {
            TUinputSetup setup;
            setup.fd = device;
            setup.layout = CompiledLayout(layout);
            setup.owner = std::shared_ptr<void>(nullptr, [device](void*) { close(device); });
            return setup;
        });
    }
    ~TUinputRig() override { close(seat_); }
    TUinputRig(const TUinputRig&) = delete;
    TUinputRig& operator=(const TUinputRig&) = delete;

    std::tm Now() override { return {}; }
    void Sleep(int milliseconds) override {
        Collect();
        journal.push_back("pause " + std::to_string(milliseconds));
    }

    void Type(const TTypingSetup& setup, const std::string& number) {
        TypeCardNumber(*keyboard, *this, setup, number);
        Collect();
    }

    // What the seat does when its lock keys change: it sets every keyboard's lights.
    void SetLight(int led, bool on) {
        const input_event light = Light(led, on);
        ASSERT_EQ(write(seat_, &light, sizeof light), static_cast<ssize_t>(sizeof light));
    }

    std::unique_ptr<TKeyboard> keyboard;
    std::vector<std::string> journal;
    std::vector<input_event> events;

private:
    void Collect() {
        for (const input_event& event : DrainEvents(seat_)) {
            events.push_back(event);
            journal.push_back(DescribeEvent(event));
        }
    }

    int seat_ = -1;
};

std::vector<std::string> Stroke(const std::string& key) {
    return {key + " 1", "SYN", key + " 0", "SYN"};
}

std::vector<std::string> Joined(std::initializer_list<std::vector<std::string>> parts) {
    return Concatenated(parts);
}

struct TStreamCase {
    const char* name;
    const char* layout;
    TTypingSetup setup;
    const char* number;
    std::vector<std::string> expected;
};

class UinputEventStream : public ::testing::TestWithParam<TStreamCase> {};

TEST_P(UinputEventStream, EachKeyEventFollowedBySynReportPausesInPlace) {
    const TStreamCase& c = GetParam();
    TUinputRig rig(c.layout);
    ASSERT_EQ(rig.keyboard->Unavailable(), "");
    rig.Type(c.setup, c.number);
    EXPECT_EQ(rig.journal, c.expected);
}

INSTANTIATE_TEST_SUITE_P(
    Cases, UinputEventStream,
    ::testing::Values(
        TStreamCase{"CtrlF2PrefixDigitShiftedLetterEnter",
                    "us",
                    {kF2, kModCtrl, true},
                    "0a",
                    Joined({{"KEY_LEFTCTRL 1", "SYN"},
                            Stroke("KEY_F2"),
                            {"KEY_LEFTCTRL 0", "SYN", "pause 200"},
                            Stroke("KEY_0"),
                            {"KEY_LEFTSHIFT 1", "SYN"},
                            Stroke("KEY_A"),
                            {"KEY_LEFTSHIFT 0", "SYN", "pause 100"},
                            Stroke("KEY_ENTER")})},
        // F13 is a key of the kernel's whatever the layout; no Enter, the pause stays.
        TStreamCase{"F13PrefixWithShiftAltNoEnter",
                    "us",
                    {kF13, kModShift | kModAlt, false},
                    "9",
                    Joined({{"KEY_LEFTSHIFT 1", "SYN", "KEY_LEFTALT 1", "SYN"},
                            Stroke("KEY_F13"),
                            {"KEY_LEFTALT 0", "SYN", "KEY_LEFTSHIFT 0", "SYN", "pause 200"},
                            Stroke("KEY_9"),
                            {"pause 100"}})},
        // Czech digits are the shifted level of the number row; y and z swap.
        TStreamCase{"CzechDigitsShiftedOnTheirRow",
                    "cz",
                    {0, 0, true},
                    "1e",
                    Joined({{"KEY_LEFTSHIFT 1", "SYN"},
                            Stroke("KEY_1"),
                            {"KEY_LEFTSHIFT 0", "SYN", "KEY_LEFTSHIFT 1", "SYN"},
                            Stroke("KEY_E"),
                            {"KEY_LEFTSHIFT 0", "SYN", "pause 100"},
                            Stroke("KEY_ENTER")})},
        // AZERTY: a is where q is elsewhere, digits shifted.
        TStreamCase{"FrenchAzertyLetterPlace",
                    "fr",
                    {0, 0, false},
                    "a",
                    Joined({{"KEY_LEFTSHIFT 1", "SYN"},
                            Stroke("KEY_Q"),
                            {"KEY_LEFTSHIFT 0", "SYN", "pause 100"}})},
        // Lithuanian digits are on level three of their row: AltGr is held
        // around the key alone.
        TStreamCase{"LithuanianDigitUnderAltGr",
                    "lt",
                    {0, 0, false},
                    "1",
                    Joined({{"KEY_RIGHTALT 1", "SYN"},
                            Stroke("KEY_1"),
                            {"KEY_RIGHTALT 0", "SYN", "pause 100"}})}),
    [](const auto& test) { return std::string(test.param.name); });

struct TRoundTrip {
    const char* layout;
    TLockState locks;
};

std::string Name(const TRoundTrip& c) {
    std::string name = c.layout;
    for (char& ch : name)
        if (!std::isalnum(static_cast<unsigned char>(ch)))
            ch = '_';
    return name + (c.locks.capsLock ? "_CapsLock" : "") + (c.locks.numLock ? "_NumLock" : "");
}

class UinputLayoutRoundTrip : public ::testing::TestWithParam<TRoundTrip> {};

// Letters arrive as capitals whatever the lock state; digits as digits.
TEST_P(UinputLayoutRoundTrip, NumberArrivesAsTyped) {
    const TRoundTrip& c = GetParam();
    TUinputRig rig(c.layout);
    rig.SetLight(LED_CAPSL, c.locks.capsLock);
    rig.SetLight(LED_NUML, c.locks.numLock);
    rig.Type({0, 0, true}, "0123456789abcdef");
    TCompositor compositor(*CompiledLayout(c.layout), c.locks);
    for (const input_event& event : rig.events)
        compositor.Feed(event);
    EXPECT_EQ(compositor.Text(), "0123456789ABCDEF\r");
}

INSTANTIATE_TEST_SUITE_P(
    Layouts, UinputLayoutRoundTrip, ::testing::ValuesIn([] {
        std::vector<TRoundTrip> cases;
        for (const char* layout : {"us", "cz", "fr", "de", "sk", "cz(qwerty)", "fr(bepo)"})
            for (const bool caps : {false, true})
                cases.push_back({layout, {caps, false}});
        cases.push_back({"cz", {true, true}});
        // Lithuanian digits are AltGr's on the number row, the keypad's with
        // Num Lock on.
        for (const bool caps : {false, true})
            for (const bool num : {false, true})
                cases.push_back({"lt", {caps, num}});
        return cases;
    }()),
    [](const auto& test) { return Name(test.param); });

struct TRefusalCase {
    const char* layout;
    const char* missing; // the character named in the refusal; empty: accepted
};

class UinputLayoutCheck : public ::testing::TestWithParam<TRefusalCase> {};

// A layout that has no key for some character of a card number would type
// another one in its place: the keyboard refuses it and names the character.
TEST_P(UinputLayoutCheck, LayoutWithoutACardCharacterIsRefused) {
    const TRefusalCase& c = GetParam();
    TUinputRig rig(c.layout);
    const std::string reason = rig.keyboard->Unavailable();
    if (std::string(c.missing).empty()) {
        EXPECT_EQ(reason, "");
        return;
    }
    EXPECT_NE(reason.find(std::string("'") + c.layout + "'"), std::string::npos) << reason;
    EXPECT_NE(reason.find(std::string("'") + c.missing + "'"), std::string::npos) << reason;
    EXPECT_NE(reason.find("LORVENT_XKB_LAYOUT"), std::string::npos) << reason;
}

INSTANTIATE_TEST_SUITE_P(Layouts, UinputLayoutCheck,
                         ::testing::Values(TRefusalCase{"us", ""}, TRefusalCase{"lt", ""},
                                           TRefusalCase{"fr(bepo)", ""}, TRefusalCase{"ru", "A"},
                                           TRefusalCase{"gr", "A"}),
                         [](const auto& test) {
                             return Name({test.param.layout, {}});
                         });

// The lights are read afresh for each number: the user may have pressed
// Caps Lock in between.
TEST(UinputKeyboard, LockStateFollowedFromOneNumberToTheNext) {
    TUinputRig rig("de");
    rig.Type({0, 0, false}, "ab");
    TCompositor capsOff(*CompiledLayout("de"), {});
    for (const input_event& event : rig.events)
        capsOff.Feed(event);
    rig.events.clear();
    rig.SetLight(LED_CAPSL, true);
    rig.Type({0, 0, false}, "ab");
    TCompositor capsOn(*CompiledLayout("de"), {true, false});
    for (const input_event& event : rig.events)
        capsOn.Feed(event);
    EXPECT_EQ(capsOff.Text(), "AB");
    EXPECT_EQ(capsOn.Text(), "AB");
}

} // namespace
} // namespace lorvent::testing
