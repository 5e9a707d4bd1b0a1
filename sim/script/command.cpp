#include "sim/script/command.h"

#include <cctype>
#include <cmath>
#include <functional>
#include <map>
#include <sstream>
#include <vector>

namespace lorvent::sim::script {
namespace {

using Words = std::vector<std::string>;

constexpr long long kLongestDurationMs = 24LL * 3600 * 1000;
constexpr int kLargestCount = 1000000;

Words Split(const std::string& line) {
    std::istringstream in(line);
    Words words;
    for (std::string word; in >> word;)
        words.push_back(word);
    return words;
}

[[noreturn]] void Fail(const std::string& message) {
    throw TCommandError(message);
}

void RequireArgs(const Words& words, std::size_t least, std::size_t most, const char* usage) {
    const std::size_t args = words.size() - 1;
    if (args < least || args > most)
        Fail(std::string("usage: ") + usage);
}

bool IsDigits(const std::string& word) {
    if (word.empty())
        return false;
    for (char c : word)
        if (!std::isdigit(static_cast<unsigned char>(c)))
            return false;
    return true;
}

int ParseCount(const std::string& word, const char* what) {
    if (!IsDigits(word) || word.size() > 7 || std::stoi(word) > kLargestCount)
        Fail(std::string(what) + " must be a whole number from 0 to 1000000, not '" + word + "'");
    return std::stoi(word);
}

int HexDigit(char c) {
    if (c >= '0' && c <= '9')
        return c - '0';
    c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
    if (c >= 'a' && c <= 'f')
        return c - 'a' + 10;
    return -1;
}

// A card number in hexadecimal ("0x" optional), right-aligned in `size` bytes.
Bytes ParseCardNumber(const std::string& word, int size) {
    std::string digits = word;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty())
        Fail("a card number is hexadecimal, e.g. 0x12345678, not '" + word + "'");
    for (char c : digits)
        if (HexDigit(c) < 0)
            Fail("a card number is hexadecimal, e.g. 0x12345678, not '" + word + "'");
    while (digits.size() > 1 && digits[0] == '0')
        digits.erase(0, 1);
    if (digits.size() > static_cast<std::size_t>(2 * size))
        Fail("card number '" + word + "' does not fit in " + std::to_string(size) + " bytes");
    digits.insert(0, static_cast<std::size_t>(2 * size) - digits.size(), '0');
    Bytes number;
    for (std::size_t i = 0; i < digits.size(); i += 2)
        number.push_back(
            static_cast<std::uint8_t>(HexDigit(digits[i]) << 4 | HexDigit(digits[i + 1])));
    return number;
}

std::uint8_t ParseHexByte(const std::string& word) {
    std::string digits = word;
    if (digits.size() > 2 && digits[0] == '0' && (digits[1] == 'x' || digits[1] == 'X'))
        digits = digits.substr(2);
    if (digits.empty() || digits.size() > 2 || HexDigit(digits[0]) < 0 ||
        (digits.size() == 2 && HexDigit(digits[1]) < 0))
        Fail("'" + word + "' is not a hexadecimal byte");
    int value = 0;
    for (char c : digits)
        value = value << 4 | HexDigit(c);
    return static_cast<std::uint8_t>(value);
}

TCommand Card(const Words& words, int size, bool connectionless) {
    RequireArgs(words, 1, 1, "card|card5|card-connectionless|card5-connectionless <hex>|random");
    TCommand command{TCommandKind::Card};
    command.cardBytes = size;
    command.connectionless = connectionless;
    command.random = words[1] == "random";
    if (!command.random)
        command.bytes = ParseCardNumber(words[1], size);
    return command;
}

TCommand Send(const Words& words) {
    if (words.size() < 2 || words.size() > 1 + kMaxPayload)
        Fail("usage: send <1 to 32 hexadecimal bytes>");
    TCommand command{TCommandKind::Send};
    for (std::size_t i = 1; i < words.size(); ++i)
        command.bytes.push_back(ParseHexByte(words[i]));
    return command;
}

TCommand Text(const std::string& line) {
    const std::size_t start = line.find_first_not_of(" \t", line.find("text") + 4);
    TCommand command{TCommandKind::Text};
    command.text = start == std::string::npos ? "" : line.substr(start);
    while (!command.text.empty() && std::isspace(static_cast<unsigned char>(command.text.back())))
        command.text.pop_back();
    return command;
}

TCommand Every(const std::string& line, const Words& words) {
    if (words.size() == 2 && words[1] == "off")
        return TCommand{TCommandKind::EveryOff};
    if (words.size() < 3)
        Fail("usage: every <duration> <command> | every off");
    TCommand command{TCommandKind::Every};
    command.duration = ParseDuration(words[1]);
    if (command.duration.count() == 0)
        Fail("every needs a period above zero");
    const std::size_t rest = line.find(words[2], line.find(words[1]) + words[1].size());
    auto repeated = std::make_shared<TCommand>(ParseCommand(line.substr(rest)));
    switch (repeated->kind) {
    case TCommandKind::Every:
    case TCommandKind::EveryOff:
    case TCommandKind::Wait:
    case TCommandKind::Quit:
    case TCommandKind::Unplug:
    case TCommandKind::Replug:
        Fail("every cannot repeat '" + words[2] + "'");
    default:
        break;
    }
    command.repeated = std::move(repeated);
    return command;
}

TCommand CountCommand(const Words& words, TCommandKind kind, int fallback, const char* usage) {
    RequireArgs(words, fallback < 0 ? 1 : 0, 1, usage);
    TCommand command{kind};
    command.count = words.size() > 1 ? ParseCount(words[1], usage) : fallback;
    return command;
}

TCommand Silence(const Words& words) {
    RequireArgs(words, 1, 1, "silence <polls>|<duration>");
    if (IsDigits(words[1]))
        return CountCommand(words, TCommandKind::SilencePolls, -1, "silence <polls>|<duration>");
    TCommand command{TCommandKind::SilenceTime};
    command.duration = ParseDuration(words[1]);
    return command;
}

TCommand CorruptCrc(const Words& words) {
    const char* usage = "corrupt-crc [frames] | corrupt-crc 1/<n> | corrupt-crc off";
    RequireArgs(words, 0, 1, usage);
    if (words.size() == 2 && words[1] == "off")
        return TCommand{TCommandKind::CorruptRate}; // a rate of 0 stops
    if (words.size() == 2 && words[1].rfind("1/", 0) == 0) {
        TCommand command{TCommandKind::CorruptRate};
        command.count = ParseCount(words[1].substr(2), "the n of 1/n");
        if (command.count < 1)
            Fail("corrupt-crc 1/n needs n of 1 or more");
        return command;
    }
    return CountCommand(words, TCommandKind::CorruptCrc, 1, usage);
}

TCommand WrongAddress(const Words& words) {
    RequireArgs(words, 0, 1, "wrong-address [address 0..127]");
    TCommand command{TCommandKind::WrongAddress};
    command.count = -1;
    if (words.size() == 2) {
        command.count = ParseCount(words[1], "an address");
        if (command.count > 0x7F)
            Fail("a bus address is 0 to 127");
    }
    return command;
}

TCommand Unplug(const Words& words) {
    RequireArgs(words, 0, 1, "unplug [duration]");
    TCommand command{TCommandKind::Unplug};
    if (words.size() == 2)
        command.duration = ParseDuration(words[1]);
    return command;
}

TCommand Pace(const Words& words) {
    RequireArgs(words, 1, 1, "pace on|off");
    if (words[1] != "on" && words[1] != "off")
        Fail("usage: pace on|off");
    TCommand command{TCommandKind::Pace};
    command.on = words[1] == "on";
    return command;
}

TCommand Simple(const Words& words, TCommandKind kind) {
    RequireArgs(words, 0, 0, words[0].c_str());
    return TCommand{kind};
}

TCommand Wait(const Words& words) {
    RequireArgs(words, 1, 1, "wait <duration>");
    TCommand command{TCommandKind::Wait};
    command.duration = ParseDuration(words[1]);
    return command;
}

} // namespace

std::chrono::milliseconds ParseDuration(const std::string& word) {
    static const std::map<std::string, double> kUnits = {{"ms", 1}, {"s", 1000}, {"m", 60000}};
    std::size_t digits = 0;
    while (digits < word.size() &&
           (std::isdigit(static_cast<unsigned char>(word[digits])) || word[digits] == '.'))
        ++digits;
    const auto unit = kUnits.find(word.substr(digits));
    double value = 0;
    try {
        std::size_t used = 0;
        value = digits ? std::stod(word.substr(0, digits), &used) : -1;
        if (used != digits)
            value = -1;
    } catch (const std::exception&) {
        value = -1;
    }
    if (unit == kUnits.end() || value < 0)
        Fail("'" + word + "' is not a duration such as 250ms, 2s, 1.5s or 1m");
    const double ms = value * unit->second;
    if (ms > kLongestDurationMs)
        Fail("duration '" + word + "' is longer than a day");
    return std::chrono::milliseconds(std::llround(ms));
}

TCommand ParseCommand(const std::string& line) {
    const Words words = Split(line);
    if (words.empty() || words[0][0] == '#')
        return TCommand{};
    const std::string& verb = words[0];
    using Parser = std::function<TCommand()>;
    const std::map<std::string, Parser> parsers = {
        {"card", [&] { return Card(words, 4, false); }},
        {"card5", [&] { return Card(words, 5, false); }},
        {"card-connectionless", [&] { return Card(words, 4, true); }},
        {"card5-connectionless", [&] { return Card(words, 5, true); }},
        {"send", [&] { return Send(words); }},
        {"text", [&] { return Text(line); }},
        {"every", [&] { return Every(line, words); }},
        {"unplug", [&] { return Unplug(words); }},
        {"replug", [&] { return Simple(words, TCommandKind::Replug); }},
        {"silence", [&] { return Silence(words); }},
        {"noise", [&] { return CountCommand(words, TCommandKind::Noise, -1, "noise <bytes>"); }},
        {"corrupt-crc", [&] { return CorruptCrc(words); }},
        {"lose-replies",
         [&] { return CountCommand(words, TCommandKind::LoseReplies, 1, "lose-replies [n]"); }},
        {"repeat", [&] { return CountCommand(words, TCommandKind::Repeat, 1, "repeat [n]"); }},
        {"wrong-address", [&] { return WrongAddress(words); }},
        {"oversize", [&] { return Simple(words, TCommandKind::Oversize); }},
        {"pace", [&] { return Pace(words); }},
        {"reset-request", [&] { return Simple(words, TCommandKind::ResetRequest); }},
        {"status", [&] { return Simple(words, TCommandKind::Status); }},
        {"wait", [&] { return Wait(words); }},
        {"quit", [&] { return Simple(words, TCommandKind::Quit); }},
        {"exit", [&] { return Simple(words, TCommandKind::Quit); }},
        {"help", [&] { return Simple(words, TCommandKind::Help); }},
    };
    const auto parser = parsers.find(verb);
    if (parser == parsers.end())
        Fail("unknown command '" + verb + "' (try help)");
    return parser->second();
}

const char* CommandHelp() {
    return "Commands (one a line; # starts a comment):\n"
           "  card <hex>|random                 card read, 4-byte number, as a data Packet\n"
           "  card5 <hex>|random                card read, 5-byte number\n"
           "  card-connectionless <hex>|random  card read as a connectionless 0x83 message\n"
           "  card5-connectionless <hex>|random\n"
           "  send <hex bytes>                  a data Packet with this payload (1 to 32 bytes)\n"
           "  text <characters>                 a text as 0x85 records\n"
           "  every <duration> <command>        repeat a command, e.g. every 3s card random\n"
           "  every off                         stop repeating\n"
           "  unplug [duration]                 close the pseudo-terminal (until replug)\n"
           "  replug                            open a new pseudo-terminal\n"
           "  silence <polls>|<duration>        hear and answer nothing\n"
           "  noise <bytes>                     line noise between frames\n"
           "  corrupt-crc [frames]              corrupt the CRC of the next frames (1)\n"
           "  corrupt-crc 1/<n> | off           corrupt one output byte in n\n"
           "  lose-replies [n]                  drop the next replies (1)\n"
           "  repeat [n]                        send each frame of the next replies twice (1)\n"
           "  wrong-address [address]           next reply from another address\n"
           "  oversize                          a frame longer than 36 bytes with the next reply\n"
           "  pace on|off                       9600-baud pacing of output\n"
           "  reset-request                     the reader asks for a sequence reset\n"
           "  status                            counters and link state\n"
           "  wait <duration>                   pause this command source\n"
           "  quit                              end the simulator\n"
           "Durations: 250ms, 2s, 1.5s, 1m.\n";
}

} // namespace lorvent::sim::script
