#include "app/data_path.h"
#include "app/platform_protocol.h"
#include "display.h"
#include "protocol/protocol.h"
#include "qt_program.h"

#include <QApplication>

#include <iostream>

int main(int argc, char** argv) {
    using namespace lorvent;
    const std::vector<std::string> arguments(argv + 1, argv + argc);
    if (const std::string problem = DisplayProblem(); !problem.empty()) {
        std::cerr << "lorvent: " << problem << std::endl;
        return kExitNoDisplay;
    }
    const auto application = MakeApplication(argv[0]);
    EndDisplayProbe();
    const auto keyboard = MakePlatformKeyboard();
    TProgramPlatform platform{*keyboard, DefaultDataFileName(), MakePlatformProtocol};
    return RunProgram(*application, arguments, platform);
}
