// The command line and the prefix parser.
//
// Input: the arguments, separated by line feeds (so an argument may hold any
// other byte, NUL included). The parser's result, or the exact text of its
// error, must match a model of the rules written independently of it; the
// first argument is also parsed alone as a prefix value.

#include "app/startup/command_line.h"
#include "app/startup/startup_error.h"
#include "fuzz/fuzz_check.h"

#include <cstddef>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace lorvent {
namespace {

std::vector<std::string> SplitArguments(const std::uint8_t* data, std::size_t size) {
    std::vector<std::string> arguments;
    if (size == 0)
        return arguments;
    std::string current;
    for (std::size_t i = 0; i < size; ++i) {
        if (data[i] == '\n') {
            arguments.push_back(current);
            current.clear();
        } else {
            current.push_back(static_cast<char>(data[i]));
        }
    }
    arguments.push_back(current);
    return arguments;
}

struct ModelPrefix {
    int key = 0;
    int modifiers = 0;
};

// Modifier letters A, C, S in any number, then F1..F24 (one or two digits, a
// leading zero allowed) or one of a..z, 0..9, and nothing after the key.
std::optional<ModelPrefix> ModelParsePrefix(const std::string& value) {
    ModelPrefix prefix;
    std::size_t at = 0;
    for (; at < value.size(); ++at) {
        if (value[at] == 'A')
            prefix.modifiers |= kModAlt;
        else if (value[at] == 'C')
            prefix.modifiers |= kModCtrl;
        else if (value[at] == 'S')
            prefix.modifiers |= kModShift;
        else
            break;
    }
    const std::string key = value.substr(at);
    if (key.size() == 1 && ((key[0] >= 'a' && key[0] <= 'z') || (key[0] >= '0' && key[0] <= '9'))) {
        prefix.key = key[0] >= 'a' ? key[0] - 'a' + 'A' : key[0];
        return prefix;
    }
    const auto isDigit = [](char c) { return c >= '0' && c <= '9'; };
    if (key.size() == 2 && key[0] == 'F' && isDigit(key[1]))
        prefix.key = key[1] - '0';
    else if (key.size() == 3 && key[0] == 'F' && isDigit(key[1]) && isDigit(key[2]))
        prefix.key = (key[1] - '0') * 10 + (key[2] - '0');
    else
        return std::nullopt;
    if (prefix.key < 1 || prefix.key > 24)
        return std::nullopt;
    prefix.key += 111; // F1 is 112
    return prefix;
}

bool SameWord(const std::string& argument, const char* word) {
    const std::string rest = argument.substr(1);
    std::size_t i = 0;
    for (; word[i] != '\0'; ++i) {
        if (i == rest.size())
            return false;
        char c = rest[i];
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
        if (c != word[i])
            return false;
    }
    return i == rest.size();
}

// The configuration the arguments give, or the text of the error they stop at.
struct ModelResult {
    TCommandLine config;
    std::optional<std::string> error;
};

ModelResult ModelParseCommandLine(const std::vector<std::string>& arguments) {
    ModelResult model;
    TCommandLine& config = model.config;
    for (std::size_t i = 0; i < arguments.size(); ++i) {
        const std::string& argument = arguments[i];
        const std::string value = i + 1 < arguments.size() ? arguments[i + 1] : std::string();
        const bool introduced = !argument.empty() && (argument[0] == '-' || argument[0] == '/');
        if (introduced && SameWord(argument, "net")) {
            config.Mode = kModeAttendance;
        } else if (introduced && SameWord(argument, "keyb")) {
            config.Mode = kModeKeyboard;
        } else if (introduced && SameWord(argument, "com")) {
            config.Port = value;
            ++i;
        } else if (introduced && SameWord(argument, "db")) {
            config.DataFileName = value;
            ++i;
        } else if (introduced && SameWord(argument, "prefix")) {
            const auto prefix = ModelParsePrefix(value);
            if (!prefix) {
                model.error = "Neplatný prefix '" + value + "'";
                return model;
            }
            config.PrefixKey = prefix->key;
            config.PrefixModifiers = prefix->modifiers;
            ++i;
        } else {
            model.error = "Neplatný argument '" + argument + "'";
            return model;
        }
    }
    return model;
}

void CheckPrefix(const std::string& value) {
    int key = -7;
    int modifiers = -9;
    const bool parsed = ParsePrefix(value, key, modifiers);
    const auto model = ModelParsePrefix(value);
    FUZZ_CHECK(parsed == model.has_value());
    if (parsed) {
        FUZZ_CHECK(key == model->key);
        FUZZ_CHECK(modifiers == model->modifiers);
    } else {
        FUZZ_CHECK(key == -7 && modifiers == -9); // untouched
    }
}

} // namespace
} // namespace lorvent

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    using namespace lorvent;
    const std::vector<std::string> arguments = SplitArguments(data, size);
    CheckPrefix(arguments.empty() ? std::string() : arguments[0]);

    const ModelResult model = ModelParseCommandLine(arguments);
    TCommandLine config;
    std::optional<std::string> error;
    try {
        ParseCommandLine(arguments, config);
    } catch (const TStartupError& failure) {
        error = failure.text;
    }
    FUZZ_CHECK(error == model.error);
    if (!error)
        FUZZ_CHECK(config == model.config);
    return 0;
}
