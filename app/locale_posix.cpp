#include "card_read.h"

#include <langinfo.h>

#include <cstring>

namespace lorvent {

namespace {

// Skips one strftime directive: %, flags, width, E/O modifier, conversion.
const char* SkipDirective(const char* at) {
    ++at;
    while (*at && std::strchr("-_0^#", *at))
        ++at;
    while (*at >= '0' && *at <= '9')
        ++at;
    if (*at == 'E' || *at == 'O')
        ++at;
    return *at ? at + 1 : at;
}

// The literal text between the first two directives of a strftime format,
// e.g. "." in "%d.%m.%Y"; `fallback` when there is none.
std::string SeparatorOf(const char* format, const char* fallback) {
    if (format == nullptr)
        return fallback;
    const char* at = std::strchr(format, '%');
    if (at == nullptr)
        return fallback;
    at = SkipDirective(at);
    const char* end = at;
    while (*end && *end != '%')
        ++end;
    if (end == at || *end != '%')
        return fallback;
    return std::string(at, end);
}

} // namespace

TFormatSettings LocaleFormatSettings() {
    TFormatSettings formats;
    formats.DateSeparator = SeparatorOf(nl_langinfo(D_FMT), "/");
    formats.TimeSeparator = SeparatorOf(nl_langinfo(T_FMT), ":");
    return formats;
}

} // namespace lorvent
