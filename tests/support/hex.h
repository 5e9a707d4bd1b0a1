#pragma once

#include <cstdint>
#include <cstdio>
#include <sstream>
#include <string>
#include <vector>

namespace lorvent::testing {

// "C0 01 7D E0" -> bytes; the tables in the tests read like a line capture.
inline std::vector<std::uint8_t> Hex(const std::string& text) {
    std::vector<std::uint8_t> bytes;
    std::istringstream in(text);
    std::string word;
    while (in >> word)
        bytes.push_back(static_cast<std::uint8_t>(std::stoul(word, nullptr, 16)));
    return bytes;
}

inline std::string ToHex(const std::uint8_t* bytes, std::size_t count) {
    std::string text;
    char cell[4];
    for (std::size_t i = 0; i < count; ++i) {
        std::snprintf(cell, sizeof cell, i ? " %02X" : "%02X", bytes[i]);
        text += cell;
    }
    return text;
}

inline std::string ToHex(const std::vector<std::uint8_t>& bytes) {
    return ToHex(bytes.data(), bytes.size());
}

} // namespace lorvent::testing
