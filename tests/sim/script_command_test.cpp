#include "sim/script/command.h"
#include "support/hex.h"

#include <gtest/gtest.h>

#include <functional>
#include <string>

namespace lorvent::sim::script {
namespace {

using lorvent::testing::ToHex;
using std::chrono::milliseconds;

struct GoodLine {
    const char* line;
    TCommandKind kind;
    std::function<void(const TCommand&)> check;
};

TEST(ScriptCommandTest, ParsesEveryCommand) {
    auto count = [](int n) { return [n](const TCommand& c) { EXPECT_EQ(c.count, n); }; };
    auto lasting = [](long long ms) {
        return [ms](const TCommand& c) { EXPECT_EQ(c.duration, milliseconds(ms)); };
    };
    auto card = [](const char* hex, int size, bool connectionless) {
        return [=](const TCommand& c) {
            EXPECT_EQ(ToHex(c.bytes), hex);
            EXPECT_EQ(c.cardBytes, size);
            EXPECT_EQ(c.connectionless, connectionless);
            EXPECT_FALSE(c.random);
        };
    };
    auto none = [](const TCommand&) {};
    const GoodLine lines[] = {
        {"card 0x12345678", TCommandKind::Card, card("12 34 56 78", 4, false)},
        {"card 1234", TCommandKind::Card, card("00 00 12 34", 4, false)},
        {"card 0x00000000ff", TCommandKind::Card, card("00 00 00 FF", 4, false)},
        {"card5 0x0102030405", TCommandKind::Card, card("01 02 03 04 05", 5, false)},
        {"card-connectionless 0xA", TCommandKind::Card, card("00 00 00 0A", 4, true)},
        {"card5-connectionless 12aBcDeF90", TCommandKind::Card, card("12 AB CD EF 90", 5, true)},
        {"card5 random", TCommandKind::Card,
         [](const TCommand& c) {
             EXPECT_TRUE(c.random);
             EXPECT_EQ(c.cardBytes, 5);
         }},
        {"", TCommandKind::Nothing, none},
        {"   # a comment", TCommandKind::Nothing, none},
        {"send 03 06 0x00", TCommandKind::Send,
         [](const TCommand& c) { EXPECT_EQ(ToHex(c.bytes), "03 06 00"); }},
        {"text  hello world  ", TCommandKind::Text,
         [](const TCommand& c) { EXPECT_EQ(c.text, "hello world"); }},
        {"every 3s card random", TCommandKind::Every,
         [](const TCommand& c) {
             EXPECT_EQ(c.duration, milliseconds(3000));
             ASSERT_TRUE(c.repeated);
             EXPECT_EQ(c.repeated->kind, TCommandKind::Card);
             EXPECT_TRUE(c.repeated->random);
         }},
        {"every off", TCommandKind::EveryOff, none},
        {"unplug 2s", TCommandKind::Unplug, lasting(2000)},
        {"unplug", TCommandKind::Unplug, lasting(0)},
        {"replug", TCommandKind::Replug, none},
        {"silence 5", TCommandKind::SilencePolls, count(5)},
        {"silence 1.5s", TCommandKind::SilenceTime, lasting(1500)},
        {"noise 20", TCommandKind::Noise, count(20)},
        {"corrupt-crc", TCommandKind::CorruptCrc, count(1)},
        {"corrupt-crc 3", TCommandKind::CorruptCrc, count(3)},
        {"corrupt-crc 1/200", TCommandKind::CorruptRate, count(200)},
        {"corrupt-crc off", TCommandKind::CorruptRate, count(0)},
        {"lose-replies", TCommandKind::LoseReplies, count(1)},
        {"lose-replies 4", TCommandKind::LoseReplies, count(4)},
        {"repeat", TCommandKind::Repeat, count(1)},
        {"wrong-address", TCommandKind::WrongAddress, count(-1)},
        {"wrong-address 5", TCommandKind::WrongAddress, count(5)},
        {"oversize", TCommandKind::Oversize, none},
        {"pace off", TCommandKind::Pace, [](const TCommand& c) { EXPECT_FALSE(c.on); }},
        {"pace on", TCommandKind::Pace, [](const TCommand& c) { EXPECT_TRUE(c.on); }},
        {"reset-request", TCommandKind::ResetRequest, none},
        {"status", TCommandKind::Status, none},
        {"wait 250ms", TCommandKind::Wait, lasting(250)},
        {"wait 1m", TCommandKind::Wait, lasting(60000)},
        {"quit", TCommandKind::Quit, none},
        {"exit", TCommandKind::Quit, none},
        {"help", TCommandKind::Help, none},
    };
    for (const auto& good : lines) {
        SCOPED_TRACE(good.line);
        const TCommand command = ParseCommand(good.line);
        EXPECT_EQ(command.kind, good.kind);
        good.check(command);
    }
}

TEST(ScriptCommandTest, BadLinesSayWhatIsWrong) {
    std::string thirtyThreeBytes = "send";
    for (int i = 0; i < 33; ++i)
        thirtyThreeBytes += " 01";
    const std::pair<std::string, const char*> lines[] = {
        {"fly", "unknown command 'fly'"},
        {"card", "usage: card"},
        {"card 1 2", "usage: card"},
        {"card 0x123456789", "does not fit in 4 bytes"},
        {"card5 0x010203040506", "does not fit in 5 bytes"},
        {"card 0xZZ", "hexadecimal"},
        {"card 0x", "hexadecimal"},
        {"send", "usage: send"},
        {"send 100", "not a hexadecimal byte"},
        {thirtyThreeBytes, "usage: send"},
        {"every 0s card 1", "above zero"},
        {"every 3s wait 1s", "cannot repeat"},
        {"every 3s quit", "cannot repeat"},
        {"every 3s", "usage: every"},
        {"every 3s bogus", "unknown command 'bogus'"},
        {"silence -1", "not a duration"},
        {"noise", "usage: noise"},
        {"noise many", "whole number"},
        {"noise 99999999", "whole number"},
        {"corrupt-crc 1/0", "1 or more"},
        {"corrupt-crc 1/x", "whole number"},
        {"wrong-address 200", "0 to 127"},
        {"pace maybe", "usage: pace"},
        {"wait", "usage: wait"},
        {"wait 5", "not a duration"},
        {"wait 2h", "not a duration"},
        {"wait 1.2.3s", "not a duration"},
        {"wait 2000m", "longer than a day"},
        {"status now", "usage: status"},
    };
    for (const auto& [line, message] : lines) {
        SCOPED_TRACE(line);
        try {
            ParseCommand(line);
            ADD_FAILURE() << "accepted";
        } catch (const TCommandError& error) {
            EXPECT_NE(std::string(error.what()).find(message), std::string::npos) << error.what();
        }
    }
}

} // namespace
} // namespace lorvent::sim::script
