#pragma once

// Small helpers of the Windows test programs: folders and files of their own,
// environment variables set for one test, and waiting for a condition.

#include <windows.h>

#include <chrono>
#include <cstdio>
#include <optional>
#include <stdexcept>
#include <string>
#include <thread>
#include <vector>

namespace lorvent::testing {

inline std::wstring Widen(const std::string& text) {
    if (text.empty())
        return {};
    const int size =
        MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), nullptr, 0);
    std::wstring wide(static_cast<std::size_t>(size), L'\0');
    MultiByteToWideChar(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), wide.data(), size);
    return wide;
}

inline std::string Narrow(const std::wstring& text) {
    if (text.empty())
        return {};
    const int size = WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()),
                                         nullptr, 0, nullptr, nullptr);
    std::string narrow(static_cast<std::size_t>(size), '\0');
    WideCharToMultiByte(CP_UTF8, 0, text.data(), static_cast<int>(text.size()), narrow.data(), size,
                        nullptr, nullptr);
    return narrow;
}

// The folder of this test program; the programs and libraries it uses are
// built beside it.
inline std::wstring ExeDir() {
    wchar_t path[MAX_PATH];
    const DWORD length = GetModuleFileNameW(nullptr, path, MAX_PATH);
    std::wstring dir(path, length);
    return dir.substr(0, dir.find_last_of(L"\\/"));
}

// A fresh folder under the temporary folder, removed with what is in it.
class TTempDir {
public:
    TTempDir() {
        wchar_t base[MAX_PATH];
        GetTempPathW(MAX_PATH, base);
        for (int attempt = 0; attempt < 100; ++attempt) {
            path_ = std::wstring(base) + L"lorvent-" + std::to_wstring(GetCurrentProcessId()) +
                    L"-" + std::to_wstring(GetTickCount64() + attempt);
            if (CreateDirectoryW(path_.c_str(), nullptr))
                return;
        }
        throw std::runtime_error("cannot make a temporary folder");
    }
    ~TTempDir() { Remove(path_); }
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::wstring& Path() const { return path_; }
    std::wstring File(const std::wstring& name) const { return path_ + L"\\" + name; }

private:
    static void Remove(const std::wstring& dir) {
        WIN32_FIND_DATAW found;
        HANDLE search = FindFirstFileW((dir + L"\\*").c_str(), &found);
        if (search != INVALID_HANDLE_VALUE) {
            do {
                const std::wstring name = found.cFileName;
                if (name == L"." || name == L"..")
                    continue;
                const std::wstring path = dir + L"\\" + name;
                if (found.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY)
                    Remove(path);
                else
                    DeleteFileW(path.c_str());
            } while (FindNextFileW(search, &found));
            FindClose(search);
        }
        RemoveDirectoryW(dir.c_str());
    }

    std::wstring path_;
};

inline void WriteTextFile(const std::wstring& path, const std::string& content) {
    std::FILE* file = _wfopen(path.c_str(), L"wb");
    if (file == nullptr)
        throw std::runtime_error("cannot write " + Narrow(path));
    std::fwrite(content.data(), 1, content.size(), file);
    std::fclose(file);
}

// The whole file, or nothing when it does not exist.
inline std::optional<std::string> ReadTextFile(const std::wstring& path) {
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

// Sets an environment variable of this process for the life of the object.
class TScopedEnv {
public:
    TScopedEnv(const wchar_t* name, const std::wstring& value) : name_(name) {
        wchar_t old[32768];
        const DWORD length = GetEnvironmentVariableW(name, old, 32768);
        if (length > 0 && length < 32768)
            old_ = std::wstring(old, length);
        SetEnvironmentVariableW(name, value.c_str());
    }
    ~TScopedEnv() { SetEnvironmentVariableW(name_, old_ ? old_->c_str() : nullptr); }
    TScopedEnv(const TScopedEnv&) = delete;
    TScopedEnv& operator=(const TScopedEnv&) = delete;

private:
    const wchar_t* name_;
    std::optional<std::wstring> old_;
};

// Polls `done` until it holds or the time is up; true if it held.
template <class F> bool WaitUntil(F&& done, std::chrono::milliseconds patience) {
    const auto deadline = std::chrono::steady_clock::now() + patience;
    while (!done()) {
        if (std::chrono::steady_clock::now() >= deadline)
            return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return true;
}

} // namespace lorvent::testing
