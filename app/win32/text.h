#pragma once

#include <string>

namespace lorvent {

// The program keeps its texts in UTF-8; Windows' W functions take UTF-16.
// Invalid sequences become U+FFFD rather than ending the conversion.
std::wstring Utf16(const std::string& utf8);
std::string Utf8(const std::wstring& utf16);

} // namespace lorvent
