#include "qt_program.h"

#include "app/card_read.h"
#include "app/main_frm.h"
#include "app/startup.h"
#include "app/system_clock.h"
#include "app/traced_view.h"
#include "main_window.h"
#include "protocol/protocol.h"

#include <QApplication>

#include <cstdlib>
#include <fstream>
#include <iostream>
#include <memory>

namespace lorvent {

namespace {

// The toolkit ends the process with abort() when no platform can start; say
// why and leave with an ordinary failure status instead.
void FatalBeforeWindow(QtMsgType type, const QMessageLogContext&, const QString& message) {
    std::cerr << "lorvent: " << message.toStdString() << std::endl;
    if (type == QtFatalMsg)
        std::_Exit(kExitNoDisplay);
}

} // namespace

std::unique_ptr<QApplication> MakeApplication(char* programName) {
    static int toolkitArgc = 1;
    static char* toolkitArgv[] = {programName, nullptr};
    const QtMessageHandler previous = qInstallMessageHandler(FatalBeforeWindow);
    auto application = std::make_unique<QApplication>(toolkitArgc, toolkitArgv);
    qInstallMessageHandler(previous);
    QEvent::registerEventType(WM_PROTOCOL);
    QEvent::registerEventType(WM_BLICK_START);
    application->setApplicationName("lorvent");
    return application;
}

int RunProgram(QApplication& application, const std::vector<std::string>& arguments,
               TProgramPlatform& platform) {
    TSystemClock clock;
    TQtMessageBoxes boxes;
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
            window.show();
            status = application.exec();
        }
        window.Attach(nullptr);
    }
    return status;
}

} // namespace lorvent
