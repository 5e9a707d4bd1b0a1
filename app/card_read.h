#pragma once

#include "frm_services.h"

#include <cstdint>
#include <ctime>
#include <string>

namespace lorvent {

// One card read.
struct TLogItem {
    std::tm ReadTime{}; // local time at which the GUI thread handled the read
    std::string Number; // two lower-case hex digits per card byte
};

inline constexpr int kFourByteNumber = 4;
inline constexpr int kFiveByteNumber = 5;

// The card number text of the 4 or 5 bytes at `bytes`, first byte first.
std::string CardNumberText(const std::uint8_t* bytes, bool fourByteNumber);

// "dd/mm/yyyy hh:nn" with the locale's separators in place of / and :.
std::string FormatReadTime(const std::tm& time, const TFormatSettings& formats);

// The date and time separators of the user's locale; "/" and ":" when the
// locale names none.
TFormatSettings LocaleFormatSettings();

} // namespace lorvent
