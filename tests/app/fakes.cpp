#include "fakes.h"

#include <cstdio>

namespace lorvent::testing {

std::string Describe(const TKeyRecord& record) {
    char text[64];
    if (record.kind == TKeyRecord::Pause)
        std::snprintf(text, sizeof text, "pause %d ms", record.ms);
    else
        std::snprintf(text, sizeof text, "%s vk %02x scan %02x", record.up ? "up  " : "down",
                      record.vk, record.scan);
    return text;
}

TRecordingKeyboard UsKeyboard() {
    TRecordingKeyboard keyboard;
    for (char c = '0'; c <= '9'; ++c)
        keyboard.keyScan[c] = c;
    for (char c = 'A'; c <= 'Z'; ++c)
        keyboard.keyScan[c] = kKeyScanShift | c;
    keyboard.scanCodes = {{kVkReturn, 0x1C}, {kVkShift, 0x2A}, {kVkControl, 0x1D},
                          {kVkMenu, 0x38},   {0x71, 0x3C},     {0x41, 0x1E}};
    return keyboard;
}

} // namespace lorvent::testing
