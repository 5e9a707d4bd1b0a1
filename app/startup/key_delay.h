#pragma once

#include <optional>
#include <string>

namespace lorvent {

// The pause between two typed characters, in milliseconds, for targets that
// drop fast input (remote desktops, forms that check each key, terminals on
// slow links).
inline constexpr const char* kKeyDelayVariable = "LORVENT_KEY_DELAY_MS";
inline constexpr int kMaxKeyDelayMs = 1000;

// A delay 0..kMaxKeyDelayMs written in decimal digits alone; empty otherwise.
std::optional<int> ParseKeyDelay(const std::string& text);

// LORVENT_KEY_DELAY_MS, or `keyboardDefault` when it is unset or empty.
// Throws TStartupError naming the value and the range when it is not a delay.
int KeyDelayFromEnvironment(int keyboardDefault);

} // namespace lorvent
