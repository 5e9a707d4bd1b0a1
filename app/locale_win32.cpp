#include "card_read.h"

#include <windows.h>

namespace lorvent {

namespace {

std::string LocaleText(LCTYPE item, const char* fallback) {
    char text[16] = {};
    if (GetLocaleInfoA(LOCALE_USER_DEFAULT, item, text, sizeof text) <= 1)
        return fallback;
    return text;
}

} // namespace

TFormatSettings LocaleFormatSettings() {
    TFormatSettings formats;
    formats.DateSeparator = LocaleText(LOCALE_SDATE, "/");
    formats.TimeSeparator = LocaleText(LOCALE_STIME, ":");
    return formats;
}

} // namespace lorvent
