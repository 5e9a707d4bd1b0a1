#include "win32_program.h"

#include "app/main_frm.h"
#include "app/startup/startup.h"
#include "main_window.h"
#include "protocol/protocol.h"
#include "text.h"

#include <windows.h>

#include <shellapi.h>

#include <iostream>

namespace lorvent {

std::vector<std::string> CommandLineArguments() {
    int count = 0;
    LPWSTR* words = CommandLineToArgvW(GetCommandLineW(), &count);
    std::vector<std::string> arguments;
    if (words == nullptr)
        return arguments;
    for (int i = 1; i < count; ++i)
        arguments.push_back(Utf8(words[i]));
    LocalFree(words);
    return arguments;
}

namespace {

// The loop's result is WM_QUIT's code; GetMessage failing (-1) ends it as a
// failure rather than spinning.
int MessageLoop() {
    MSG message{};
    BOOL result = 0;
    while ((result = GetMessageW(&message, nullptr, 0, 0)) > 0) {
        TranslateMessage(&message);
        DispatchMessageW(&message);
    }
    return result == 0 ? static_cast<int>(message.wParam) : kExitStartupFailed;
}

} // namespace

int RunProgram(const std::vector<std::string>& arguments, TProgramPlatform& platform) {
    TWin32MessageBoxes boxes;
    TMainWindow window;
    return RunMainFrm({window, window, boxes, [&window](TMainFrm* form) { window.Attach(form); },
                       [&window] {
                           window.Show();
                           return MessageLoop();
                       }},
                      arguments, platform);
}

} // namespace lorvent
