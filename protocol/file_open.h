#pragma once

#include <cstdio>
#include <filesystem>
#include <string>

namespace lorvent {

// The program keeps paths as UTF-8 text; these turn one into the platform's
// path (UTF-16 on Windows) and back, whatever the system's code page is.
inline std::filesystem::path PathFromUtf8(const std::string& utf8) {
    return std::filesystem::path(std::u8string(utf8.begin(), utf8.end()));
}

inline std::string Utf8FromPath(const std::filesystem::path& path) {
    const std::u8string text = path.u8string();
    return std::string(text.begin(), text.end());
}

// std::fopen for any path: on Windows through the wide function, so that a
// name outside the ANSI code page is the name opened. The source file is
// chosen by CMake.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode);

} // namespace lorvent
