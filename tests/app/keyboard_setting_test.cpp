// Which keyboard a Linux session types through, and the layout it is told.
#include "app/keyboard/keyboard.h"
#include "app/keyboard/keyboard_layout_source.h"
#include "app/keyboard/keyboard_select.h"
#include "support/scoped_env.h"

#include <gtest/gtest.h>

namespace lorvent::testing {
namespace {

struct TChoiceCase {
    TSessionFacts facts;
    std::optional<TKeyboardBackend> expected;
};

TEST(ChooseKeyboardBackend, X11TypesThroughXTestWaylandThroughUinput) {
    using enum TKeyboardBackend;
    const TChoiceCase cases[] = {
        {{"", "", "x11"}, XTest},
        {{"", "", ""}, XTest},
        {{"", "wayland-0", ""}, Uinput},
        {{"", "", "wayland"}, Uinput},
        {{"xtest", "wayland-0", "wayland"}, XTest},
        {{"uinput", "", "x11"}, Uinput},
        {{"XTEST", "", "x11"}, std::nullopt},
        {{"evdev", "wayland-0", ""}, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(ChooseKeyboardBackend(c.facts), c.expected)
            << "forced '" << c.facts.forced << "', WAYLAND_DISPLAY '" << c.facts.waylandDisplay
            << "', XDG_SESSION_TYPE '" << c.facts.sessionType << "'";
}

TEST(SessionKeyboard, UnknownForcedBackendRefusesToTypeAndSaysWhy) {
    TScopedEnv forced(kKeyboardVariable, "evdev");
    EXPECT_EQ(MakePlatformKeyboard()->Unavailable(),
              "Klávesnici nelze simulovat: LORVENT_KEYBOARD=evdev neznámá hodnota "
              "(platí xtest nebo uinput)");
}

// The layout is compiled before the device is asked for: the answer does
// not depend on this machine's /dev/uinput.
TEST(SessionKeyboard, WaylandWithUnknownLayoutNamesTheLayoutAndTheVariable) {
    TScopedEnv forced(kKeyboardVariable, std::nullopt);
    TScopedEnv wayland("WAYLAND_DISPLAY", "wayland-0");
    TScopedEnv layout(kLayoutVariable, "qq(none)");
    const std::string problem = MakePlatformKeyboard()->Unavailable();
    EXPECT_NE(problem.find("'qq(none)'"), std::string::npos) << problem;
    EXPECT_NE(problem.find(kLayoutVariable), std::string::npos) << problem;
}

struct TSourceCase {
    const char* source;
    std::optional<TXkbNames> (*parse)(const std::string&);
    const char* text;
    std::optional<TXkbNames> expected;
};

std::optional<TXkbNames> Gnome(const std::string& text) {
    const auto split = text.find('\n');
    return ParseGnomeInputSources(text.substr(0, split), text.substr(split + 1));
}

TEST(SessionLayout, EachSourceGivesItsFirstLayout) {
    const TSourceCase cases[] = {
        {"override", ParseLayoutOverride, "cz", TXkbNames{"", "cz", "", ""}},
        {"override", ParseLayoutOverride, "cz(qwerty)", TXkbNames{"", "cz", "qwerty", ""}},
        {"override", ParseLayoutOverride, "de(nodeadkeys);pc105;caps:shiftlock",
         TXkbNames{"pc105", "de", "nodeadkeys", "caps:shiftlock"}},
        {"override", ParseLayoutOverride, "cz qwerty", std::nullopt},
        {"default", ParseDefaultKeyboard,
         "# KEYBOARD CONFIGURATION FILE\nXKBMODEL=\"pc105\"\nXKBLAYOUT=\"sk,us\"\n"
         "XKBVARIANT=\"qwerty,\"\nXKBOPTIONS=\"grp:alt_shift_toggle\"\nBACKSPACE=\"guess\"\n",
         TXkbNames{"pc105", "sk", "qwerty", "grp:alt_shift_toggle"}},
        {"default", ParseDefaultKeyboard, "XKBMODEL=pc105\n", std::nullopt},
        {"gnome", Gnome,
         "[('ibus', 'anthy'), ('xkb', 'fr+bepo'), ('xkb', 'us')]\n['caps:escape', 'compose:ralt']",
         TXkbNames{"", "fr", "bepo", "caps:escape,compose:ralt"}},
        {"gnome", Gnome, "[('xkb', 'cz')]\n@as []", TXkbNames{"", "cz", "", ""}},
        {"gnome", Gnome, "@a(ss) []\n@as []", std::nullopt},
        {"kde", ParseKxkbrc,
         "[Layout]\nDisplayNames=,\nLayoutList=de,us\nModel=pc104\nOptions=\nUse=true\nVariantList="
         "nodeadkeys,\n",
         TXkbNames{"pc104", "de", "nodeadkeys", ""}},
        {"kde", ParseKxkbrc, "[Layout]\nLayoutList=de\nUse=false\n", std::nullopt},
        {"kde", ParseKxkbrc, "[Other]\nLayoutList=de\n", std::nullopt},
    };
    for (const auto& c : cases) {
        const auto names = c.parse(c.text);
        ASSERT_EQ(names.has_value(), c.expected.has_value()) << c.source << ": " << c.text;
        if (names) {
            EXPECT_EQ(*names, *c.expected)
                << c.source << ": " << c.text << " gave layout '" << names->layout << "' variant '"
                << names->variant << "' model '" << names->model << "' options '" << names->options
                << "'";
        }
    }
}

} // namespace
} // namespace lorvent::testing
