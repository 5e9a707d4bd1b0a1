#pragma once

#include <string>
#include <vector>

namespace lorvent {

enum TMode : int { kModeAttendance = 1, kModeKeyboard = 2 };

// Modifier flags held while the prefix key is typed.
enum TPrefixModifier : int { kModAlt = 1, kModShift = 2, kModCtrl = 4 };

// What the command line configures; everything else is fixed in the program.
struct TCommandLine {
    int Mode = kModeKeyboard;
    std::string Port;
    std::string DataFileName; // empty: the platform's default path applies
    int PrefixKey = 0;        // virtual-key code, 0 = no prefix
    int PrefixModifiers = 0;  // TPrefixModifier flags

    bool operator==(const TCommandLine&) const = default;
};

// Reads the arguments (program name excluded) from left to right into
// `config`, later words overriding earlier ones. Throws TStartupError with the
// message to show for an unknown argument or an invalid prefix.
void ParseCommandLine(const std::vector<std::string>& arguments, TCommandLine& config);

// The prefix grammar: modifier letters A, C, S, then one key (F1..F24, a..z,
// 0..9) that ends the value. False, leaving the outputs untouched, when the
// value is not valid.
bool ParsePrefix(const std::string& value, int& key, int& modifiers);

} // namespace lorvent
