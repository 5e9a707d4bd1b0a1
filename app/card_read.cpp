#include "card_read.h"

#include <cstdio>

namespace lorvent {

std::string CardNumberText(const std::uint8_t* bytes, bool fourByteNumber) {
    const int count = fourByteNumber ? kFourByteNumber : kFiveByteNumber;
    std::string text;
    for (int i = 0; i < count; ++i) {
        char digits[3];
        std::snprintf(digits, sizeof digits, "%02x", static_cast<unsigned>(bytes[i]));
        text += digits;
    }
    return text;
}

namespace {

std::string TwoDigits(int value) {
    char digits[12];
    std::snprintf(digits, sizeof digits, "%02d", value);
    return digits;
}

} // namespace

std::string FormatReadTime(const std::tm& time, const TFormatSettings& formats) {
    char year[12];
    std::snprintf(year, sizeof year, "%04d", time.tm_year + 1900);
    return TwoDigits(time.tm_mday) + formats.DateSeparator + TwoDigits(time.tm_mon + 1) +
           formats.DateSeparator + year + " " + TwoDigits(time.tm_hour) + formats.TimeSeparator +
           TwoDigits(time.tm_min);
}

} // namespace lorvent
