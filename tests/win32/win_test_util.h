#pragma once

// Small helpers of the Windows test programs: their folder and whole files.
// Temporary folders, the environment and waiting are in tests/support.

#include <windows.h>

#include "app/win32/text.h"
#include "support/scoped_env.h"
#include "support/temp_dir.h"
#include "support/wait.h"

#include <chrono>
#include <cstdio>
#include <filesystem>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {

// The folder of this test program; the programs and libraries it uses are
// built beside it.
inline std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

inline void WriteTextFile(const std::filesystem::path& path, const std::string& content) {
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        throw std::runtime_error("cannot write " + path.string());
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

// The whole file, or nothing when it does not exist.
inline std::optional<std::string> ReadTextFile(const std::filesystem::path& path) {
    std::FILE* file = _wfopen(path.c_str(), L"rb");
    if (file == nullptr)
        return std::nullopt;
    std::string content;
    char buffer[4096];
    for (std::size_t got; (got = std::fread(buffer, 1, sizeof buffer, file)) > 0;)
        content.append(buffer, got);
    std::fclose(file);
    return content;
}

inline std::vector<std::string> Lines(const std::string& text) {
    std::vector<std::string> lines;
    std::size_t start = 0;
    while (start < text.size()) {
        std::size_t end = text.find('\n', start);
        if (end == std::string::npos)
            end = text.size();
        std::string line = text.substr(start, end - start);
        if (!line.empty() && line.back() == '\r')
            line.pop_back();
        lines.push_back(line);
        start = end + 1;
    }
    return lines;
}

inline int CountContaining(const std::vector<std::string>& lines, const std::string& part) {
    int count = 0;
    for (const auto& line : lines)
        if (line.find(part) != std::string::npos)
            ++count;
    return count;
}

} // namespace lorvent::testing
