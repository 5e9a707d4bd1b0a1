#pragma once

// A Windows program started by a test, and the windows of it that a test
// looks for. Only the process a test started is ever ended by it.

#include "win_test_util.h"

#include <windows.h>

#include <chrono>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

namespace lorvent::testing {

// Quotes one argument the way CommandLineToArgvW splits it again.
inline std::wstring QuoteArgument(const std::wstring& argument) {
    if (!argument.empty() && argument.find_first_of(L" \t\"") == std::wstring::npos)
        return argument;
    std::wstring quoted = L"\"";
    std::size_t backslashes = 0;
    for (wchar_t c : argument) {
        if (c == L'\\') {
            ++backslashes;
            continue;
        }
        quoted.append(c == L'"' ? backslashes * 2 + 1 : backslashes, L'\\');
        backslashes = 0;
        quoted += c;
    }
    quoted.append(backslashes * 2, L'\\');
    return quoted + L"\"";
}

class TProcess {
public:
    TProcess(const std::wstring& program, const std::vector<std::wstring>& args,
             const std::wstring& workingDir) {
        std::wstring commandLine = QuoteArgument(program);
        for (const auto& arg : args)
            commandLine += L" " + QuoteArgument(arg);
        STARTUPINFOW startup{};
        startup.cb = sizeof startup;
        PROCESS_INFORMATION info{};
        if (!CreateProcessW(program.c_str(), commandLine.data(), nullptr, nullptr, FALSE, 0,
                            nullptr, workingDir.c_str(), &startup, &info))
            throw std::runtime_error("cannot start " + Utf8(program) + ": error " +
                                     std::to_string(GetLastError()));
        CloseHandle(info.hThread);
        process_ = info.hProcess;
        id_ = info.dwProcessId;
    }
    ~TProcess() {
        if (Running()) {
            TerminateProcess(process_, 99); // a test that failed half-way
            WaitForSingleObject(process_, 5000);
        }
        CloseHandle(process_);
    }
    TProcess(const TProcess&) = delete;
    TProcess& operator=(const TProcess&) = delete;

    DWORD Id() const { return id_; }
    bool Running() const { return WaitForSingleObject(process_, 0) == WAIT_TIMEOUT; }

    // The exit status, or nothing if the program is still running after `patience`.
    std::optional<DWORD> Wait(std::chrono::milliseconds patience) {
        if (WaitForSingleObject(process_, static_cast<DWORD>(patience.count())) != WAIT_OBJECT_0)
            return std::nullopt;
        DWORD status = 0;
        GetExitCodeProcess(process_, &status);
        return status;
    }

    // A top-level window of this process with that class ("" any) and title.
    HWND FindOwnWindow(const std::wstring& className, const std::wstring& title,
                       bool visibleOnly = false) const {
        TWindowSearch search{id_, className, title, visibleOnly, nullptr};
        EnumWindows(MatchWindow, reinterpret_cast<LPARAM>(&search));
        return search.found;
    }

    HWND WaitForWindow(const std::wstring& className, const std::wstring& title,
                       std::chrono::milliseconds patience) const {
        HWND window = nullptr;
        WaitUntil(
            [&] {
                window = FindOwnWindow(className, title);
                return window != nullptr || !Running();
            },
            patience);
        return window;
    }

private:
    struct TWindowSearch {
        DWORD id;
        const std::wstring& className;
        const std::wstring& title;
        bool visibleOnly;
        HWND found;
    };
    // A named procedure: on 32-bit Windows it must be stdcall, which a lambda is not.
    static BOOL CALLBACK MatchWindow(HWND window, LPARAM param) {
        auto& s = *reinterpret_cast<TWindowSearch*>(param);
        DWORD owner = 0;
        GetWindowThreadProcessId(window, &owner);
        if (owner != s.id || (s.visibleOnly && !IsWindowVisible(window)))
            return TRUE;
        wchar_t text[256] = {};
        GetWindowTextW(window, text, 256);
        wchar_t kind[256] = {};
        GetClassNameW(window, kind, 256);
        if (s.title != text || (!s.className.empty() && s.className != kind))
            return TRUE;
        s.found = window;
        return FALSE;
    }

    HANDLE process_ = nullptr;
    DWORD id_ = 0;
};

// The text of a window of another process (marshalled by the system).
inline std::wstring WindowText(HWND window) {
    const LRESULT length = SendMessageW(window, WM_GETTEXTLENGTH, 0, 0);
    std::wstring text(static_cast<std::size_t>(length) + 1, L'\0');
    const LRESULT got =
        SendMessageW(window, WM_GETTEXT, text.size(), reinterpret_cast<LPARAM>(text.data()));
    text.resize(static_cast<std::size_t>(got));
    return text;
}

inline bool CopyInto(const std::wstring& from, const std::wstring& toDir,
                     const std::wstring& name) {
    return CopyFileW(from.c_str(), (toDir + L"\\" + name).c_str(), FALSE) != 0;
}

} // namespace lorvent::testing
