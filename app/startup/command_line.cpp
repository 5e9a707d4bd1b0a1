#include "command_line.h"

#include "startup_error.h"

#include <algorithm>

namespace lorvent {

std::string FormatMessage(const std::string& pattern, const std::string& value) {
    std::string text = pattern;
    const auto at = text.find("%s");
    if (at != std::string::npos)
        text.replace(at, 2, value);
    return text;
}

namespace {

constexpr int kVkF1 = 0x70;

bool IsIntroducer(char c) {
    return c == '-' || c == '/';
}

// ASCII only: the option words are ASCII, and other bytes must not be changed
// by whatever locale the toolkit has set.
std::string Lowered(std::string word) {
    std::transform(word.begin(), word.end(), word.begin(), [](char c) {
        return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c;
    });
    return word;
}

int ModifierOf(char c) {
    switch (c) {
    case 'A':
        return kModAlt;
    case 'C':
        return kModCtrl;
    case 'S':
        return kModShift;
    default:
        return 0;
    }
}

// "F" and one or two digits naming F1..F24; 0 when `rest` is anything else.
int FunctionKey(const std::string& rest) {
    if (rest.size() < 2 || rest.size() > 3 || rest[0] != 'F')
        return 0;
    int number = 0;
    for (std::size_t i = 1; i < rest.size(); ++i) {
        if (rest[i] < '0' || rest[i] > '9')
            return 0;
        number = number * 10 + (rest[i] - '0');
    }
    return number >= 1 && number <= 24 ? kVkF1 - 1 + number : 0;
}

// A single lower-case letter or digit; its key code is that of the upper-case character.
int CharacterKey(const std::string& rest) {
    if (rest.size() != 1)
        return 0;
    const char c = rest[0];
    if (c >= 'a' && c <= 'z')
        return c - 'a' + 'A';
    if (c >= '0' && c <= '9')
        return c;
    return 0;
}

// The value of a word that takes one; empty when the word is the last argument.
std::string TakeValue(const std::vector<std::string>& arguments, std::size_t& index) {
    if (index + 1 >= arguments.size())
        return {};
    return arguments[++index];
}

} // namespace

bool ParsePrefix(const std::string& value, int& key, int& modifiers) {
    std::size_t at = 0;
    int collected = 0;
    while (at < value.size() && ModifierOf(value[at]) != 0)
        collected |= ModifierOf(value[at++]);
    const std::string rest = value.substr(at);
    const int code = rest.size() > 0 && rest[0] == 'F' ? FunctionKey(rest) : CharacterKey(rest);
    if (code == 0)
        return false;
    key = code;
    modifiers = collected;
    return true;
}

void ParseCommandLine(const std::vector<std::string>& arguments, TCommandLine& config) {
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        if (argument.empty() || !IsIntroducer(argument[0]))
            throw TStartupError(FormatMessage(kMsgInvalidArgument, argument));
        const std::string word = Lowered(argument.substr(1));
        if (word == "com") {
            config.Port = TakeValue(arguments, i);
        } else if (word == "db") {
            config.DataFileName = TakeValue(arguments, i);
        } else if (word == "net") {
            config.Mode = kModeAttendance;
        } else if (word == "keyb") {
            config.Mode = kModeKeyboard;
        } else if (word == "prefix") {
            const std::string value = TakeValue(arguments, i);
            config.PrefixKey = 0;
            config.PrefixModifiers = 0;
            if (!ParsePrefix(value, config.PrefixKey, config.PrefixModifiers))
                throw TStartupError(FormatMessage(kMsgInvalidPrefix, value));
        } else {
            throw TStartupError(FormatMessage(kMsgInvalidArgument, argument));
        }
    }
}

} // namespace lorvent
