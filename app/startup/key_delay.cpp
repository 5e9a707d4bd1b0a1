#include "key_delay.h"

#include "environment.h"
#include "startup_error.h"

#include <charconv>

namespace lorvent {

std::optional<int> ParseKeyDelay(const std::string& text) {
    int delay = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, delay);
    if (text.empty() || text.front() == '-' || error != std::errc() || stop != end ||
        delay > kMaxKeyDelayMs)
        return std::nullopt;
    return delay;
}

int KeyDelayFromEnvironment(int keyboardDefault) {
    const std::optional<std::string> text = EnvironmentValue(kKeyDelayVariable);
    if (!text || text->empty())
        return keyboardDefault;
    const auto delay = ParseKeyDelay(*text);
    if (!delay)
        throw TStartupError(FormatMessage(kMsgInvalidKeyDelay, *text));
    return *delay;
}

} // namespace lorvent
