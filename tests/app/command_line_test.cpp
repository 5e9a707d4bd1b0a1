#include "app/startup/command_line.h"
#include "app/startup/startup_error.h"

#include <gtest/gtest.h>

#include <cctype>
#include <optional>

namespace lorvent {
namespace {

using Args = std::vector<std::string>;

struct TLineCase {
    const char* name;
    Args arguments;
    TCommandLine expected;       // when no error is expected
    const char* error = nullptr; // the exact message otherwise
};

TCommandLine Config(int mode, std::string port = "", std::string db = "", int key = 0,
                    int modifiers = 0) {
    return TCommandLine{mode, std::move(port), std::move(db), key, modifiers};
}

const int K = kModeKeyboard;
const int N = kModeAttendance;

const TLineCase kLineCases[] = {
    {"nothing", {}, Config(K)},
    {"net", {"-net"}, Config(N)},
    {"slash and capitals", {"/NET"}, Config(N)},
    {"mixed case", {"-KeYb"}, Config(K)},
    {"later mode wins", {"-net", "-keyb"}, Config(K)},
    {"keyboard then net", {"/keyb", "/net"}, Config(N)},
    {"com value", {"-com", "COM3"}, Config(K, "COM3")},
    {"second com replaces", {"-com", "COM3", "/com", "COM7"}, Config(K, "COM7")},
    {"com swallows an option word", {"-com", "-net"}, Config(K, "-net")},
    {"com last is empty", {"-net", "-com"}, Config(N, "")},
    {"com then empty value", {"-com", ""}, Config(K, "")},
    {"db value", {"-db", "/tmp/x/y.db"}, Config(K, "", "/tmp/x/y.db")},
    {"db last is empty", {"-db"}, Config(K, "", "")},
    {"db value kept with spaces", {"-db", "C:\\a b\\c.db"}, Config(K, "", "C:\\a b\\c.db")},
    {"prefix CSa", {"-prefix", "CSa"}, Config(K, "", "", 'A', kModCtrl | kModShift)},
    {"prefix AF12", {"-prefix", "AF12"}, Config(K, "", "", 0x7B, kModAlt)},
    {"prefix digit alone", {"-prefix", "9"}, Config(K, "", "", '9', 0)},
    {"prefix F01 is F1", {"-prefix", "F01"}, Config(K, "", "", 0x70, 0)},
    {"prefix F24", {"-prefix", "F24"}, Config(K, "", "", 0x87, 0)},
    {"prefix repeated modifier", {"-prefix", "SSa"}, Config(K, "", "", 'A', kModShift)},
    {"prefix all modifiers", {"-prefix", "SCAz"}, Config(K, "", "", 'Z', 7)},
    {"prefix in attendance mode", {"-net", "-prefix", "CF2"}, Config(N, "", "", 0x71, kModCtrl)},
    {"second prefix starts afresh", {"-prefix", "CSa", "-prefix", "b"}, Config(K, "", "", 'B', 0)},
    {"everything", {"-com", "p", "-db", "d", "-net", "-prefix", "F2"}, Config(N, "p", "d", 0x71)},
    // Unknown or malformed arguments: the whole argument is quoted.
    {"no introducer", {"net"}, {}, "Neplatný argument 'net'"},
    {"unknown word", {"-x"}, {}, "Neplatný argument '-x'"},
    {"longer word", {"-keyboard"}, {}, "Neplatný argument '-keyboard'"},
    {"shorter word", {"/ne"}, {}, "Neplatný argument '/ne'"},
    {"introducer alone", {"-"}, {}, "Neplatný argument '-'"},
    {"empty argument", {""}, {}, "Neplatný argument ''"},
    {"double dash", {"--net"}, {}, "Neplatný argument '--net'"},
    {"bad after good", {"-net", "x"}, {}, "Neplatný argument 'x'"},
    {"value then stray", {"-com", "1", "2"}, {}, "Neplatný argument '2'"},
    // Invalid prefixes: the value is quoted.
    {"prefix last", {"-prefix"}, {}, "Neplatný prefix ''"},
    {"prefix empty", {"-prefix", ""}, {}, "Neplatný prefix ''"},
    {"prefix F", {"-prefix", "F"}, {}, "Neplatný prefix 'F'"},
    {"prefix F0", {"-prefix", "F0"}, {}, "Neplatný prefix 'F0'"},
    {"prefix F25", {"-prefix", "F25"}, {}, "Neplatný prefix 'F25'"},
    {"prefix F123", {"-prefix", "F123"}, {}, "Neplatný prefix 'F123'"},
    {"prefix F00", {"-prefix", "F00"}, {}, "Neplatný prefix 'F00'"},
    {"prefix F1x", {"-prefix", "F1x"}, {}, "Neplatný prefix 'F1x'"},
    {"prefix B", {"-prefix", "B"}, {}, "Neplatný prefix 'B'"},
    {"prefix ab", {"-prefix", "ab"}, {}, "Neplatný prefix 'ab'"},
    {"prefix modifier only", {"-prefix", "A"}, {}, "Neplatný prefix 'A'"},
    {"prefix modifiers only", {"-prefix", "CS"}, {}, "Neplatný prefix 'CS'"},
    {"prefix modifier after key", {"-prefix", "aS"}, {}, "Neplatný prefix 'aS'"},
    {"prefix lower-case modifier", {"-prefix", "ca"}, {}, "Neplatný prefix 'ca'"},
    {"prefix lower-case f", {"-prefix", "f2"}, {}, "Neplatný prefix 'f2'"},
    {"prefix punctuation", {"-prefix", "C-"}, {}, "Neplatný prefix 'C-'"},
    {"prefix swallows option word", {"-prefix", "-net"}, {}, "Neplatný prefix '-net'"},
    {"prefix non-ASCII", {"-prefix", "Cá"}, {}, "Neplatný prefix 'Cá'"},
};

class CommandLine : public ::testing::TestWithParam<TLineCase> {};

TEST_P(CommandLine, GivesConfigurationOrExactMessage) {
    const TLineCase& c = GetParam();
    TCommandLine config;
    std::optional<std::string> error;
    try {
        ParseCommandLine(c.arguments, config);
    } catch (const TStartupError& failure) {
        error = failure.text;
    }
    if (c.error) {
        ASSERT_TRUE(error.has_value()) << "no error for " << c.name;
        EXPECT_EQ(*error, c.error);
    } else {
        ASSERT_FALSE(error.has_value()) << *error;
        EXPECT_EQ(config.Mode, c.expected.Mode);
        EXPECT_EQ(config.Port, c.expected.Port);
        EXPECT_EQ(config.DataFileName, c.expected.DataFileName);
        EXPECT_EQ(config.PrefixKey, c.expected.PrefixKey);
        EXPECT_EQ(config.PrefixModifiers, c.expected.PrefixModifiers);
    }
}

std::string CaseName(const ::testing::TestParamInfo<TLineCase>& info) {
    std::string name;
    for (const char* p = info.param.name; *p; ++p)
        name += std::isalnum(static_cast<unsigned char>(*p)) ? *p : '_';
    return name;
}

INSTANTIATE_TEST_SUITE_P(Table, CommandLine, ::testing::ValuesIn(kLineCases), CaseName);

// Every letter and digit key, and every function key, through the grammar.
TEST(PrefixGrammar, NamesEveryLetterDigitAndFunctionKey) {
    for (char c = 'a'; c <= 'z'; ++c) {
        int key = 0, modifiers = -1;
        ASSERT_TRUE(ParsePrefix(std::string(1, c), key, modifiers)) << c;
        EXPECT_EQ(key, c - 'a' + 'A');
        EXPECT_EQ(modifiers, 0);
    }
    for (char c = '0'; c <= '9'; ++c) {
        int key = 0, modifiers = 0;
        ASSERT_TRUE(ParsePrefix(std::string(1, c), key, modifiers)) << c;
        EXPECT_EQ(key, c);
    }
    for (int n = 1; n <= 24; ++n) {
        int key = 0, modifiers = 0;
        ASSERT_TRUE(ParsePrefix("CF" + std::to_string(n), key, modifiers)) << n;
        EXPECT_EQ(key, 111 + n);
        EXPECT_EQ(modifiers, kModCtrl);
    }
}

TEST(PrefixGrammar, UpperCaseLettersOtherThanModifiersAreNoKeys) {
    for (char c = 'A'; c <= 'Z'; ++c) {
        int key = 0, modifiers = 0;
        EXPECT_FALSE(ParsePrefix(std::string(1, c), key, modifiers)) << c;
        EXPECT_FALSE(ParsePrefix(std::string("S") + c, key, modifiers)) << c;
    }
}

} // namespace
} // namespace lorvent
