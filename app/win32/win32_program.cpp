#include "win32_program.h"

#include "app/card_read.h"
#include "app/main_frm.h"
#include "app/startup.h"
#include "app/system_clock.h"
#include "app/traced_view.h"
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
    TSystemClock clock;
    TWin32MessageBoxes boxes;
    TMainWindow window;
    std::ofstream traceFile;
    std::ostream* trace = OpenTrace(traceFile);
    std::unique_ptr<TTracedView> traced;
    if (trace != nullptr)
        traced = std::make_unique<TTracedView>(window, *trace);
    TMainFrmView& view = traced ? static_cast<TMainFrmView&>(*traced) : window;

    int status = kExitStartupFailed;
    {
        TMainFrm form({view, window, platform.keyboard, clock, LocaleFormatSettings(),
                       platform.defaultDataFileName, platform.makeProtocol,
                       platform.makeServerConnection});
        window.Attach(&form);
        if (StartUp(form, arguments, boxes, std::cerr)) {
            window.Show();
            status = MessageLoop();
        }
        window.Attach(nullptr);
    }
    return status;
}

} // namespace lorvent
