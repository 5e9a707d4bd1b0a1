#include "qt_program.h"

#include "app/main_frm.h"
#include "app/startup/startup.h"
#include "main_window.h"
#include "protocol/protocol.h"
#include "quit_on_signal.h"

#include <QApplication>

#include <cstdlib>
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
    TQtMessageBoxes boxes;
    TMainWindow window;
    return RunMainFrm({window, window, boxes, [&window](TMainFrm* form) { window.Attach(form); },
                       [&window, &application] {
                           window.show();
                           const TQuitOnSignals quitOnSignals;
                           return application.exec();
                       }},
                      arguments, platform);
}

} // namespace lorvent
