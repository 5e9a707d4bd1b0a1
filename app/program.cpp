#include "program.h"

#include "app/card_read.h"
#include "app/main_frm.h"
#include "app/startup/startup.h"
#include "app/startup/startup_error.h"
#include "app/system_clock.h"
#include "app/tcpconn/tcp_conn.h"
#include "app/traced_view.h"
#include "protocol/protocol.h"

#include <charconv>
#include <cstdlib>
#include <iostream>

namespace lorvent {

std::optional<std::uint16_t> ParsePort(const std::string& text) {
    unsigned port = 0;
    const char* end = text.data() + text.size();
    const auto [stop, error] = std::from_chars(text.data(), end, port);
    if (text.empty() || error != std::errc() || stop != end || port == 0 || port > 65535)
        return std::nullopt;
    return static_cast<std::uint16_t>(port);
}

std::optional<std::uint16_t> ServerPort() {
    const char* text = std::getenv("LORVENT_SERVER_PORT");
    if (text == nullptr || *text == '\0')
        return kAttendancePort;
    return ParsePort(text);
}

std::string InvalidServerPortMessage() {
    const char* text = std::getenv("LORVENT_SERVER_PORT");
    return FormatMessage(kMsgInvalidServerPort, text != nullptr ? text : "");
}

std::ostream* OpenTrace(std::ofstream& file) {
    const char* target = std::getenv("LORVENT_UI_TRACE");
    if (target == nullptr || *target == '\0')
        return nullptr;
    if (std::string(target) == "-")
        return &std::cerr;
    file.open(target, std::ios::app);
    return file ? &file : nullptr;
}

int RunMainFrm(TFrontEnd frontEnd, const std::vector<std::string>& arguments,
               TProgramPlatform& platform) {
    TSystemClock clock;
    std::ofstream traceFile;
    std::ostream* trace = OpenTrace(traceFile);
    std::unique_ptr<TTracedView> traced;
    if (trace != nullptr)
        traced = std::make_unique<TTracedView>(frontEnd.view, *trace);
    TMainFrmView& view = traced ? static_cast<TMainFrmView&>(*traced) : frontEnd.view;

    int status = kExitStartupFailed;
    {
        TMainFrm form({view,
                       frontEnd.poster,
                       platform.keyboard,
                       clock,
                       LocaleFormatSettings(),
                       platform.defaultDataFileName,
                       platform.makeProtocol,
                       platform.makeServerConnection,
                       {},
                       platform.journalStateFolder});
        frontEnd.attach(&form);
        std::ostream& errors = frontEnd.errors != nullptr ? *frontEnd.errors : std::cerr;
        if (StartUp(form, arguments, frontEnd.boxes, errors))
            status = frontEnd.showAndRun();
        frontEnd.attach(nullptr);
    }
    return status;
}

} // namespace lorvent
