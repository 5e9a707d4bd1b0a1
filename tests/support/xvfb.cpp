#include "support/xvfb.h"

#include <X11/Xlib.h>

#include <random>

namespace lorvent::testing {

// A display number of its own choosing, well away from the low numbers that
// desktops and other test runs keep taking and giving back; one already in use
// makes the server exit, and the next number is tried.
TXvfb::TXvfb(const std::vector<std::string>& extraArguments) {
    std::random_device random;
    for (int attempt = 0; attempt < 20 && display_.empty(); ++attempt) {
        const std::string number = std::to_string(200 + random() % 30000);
        TChildProcess::TOptions options;
        // -noreset: without it the server resets whenever its last client
        // leaves, and a client connecting just then is turned away.
        options.argv = {"Xvfb", ":" + number,  "-displayfd", "1",   "-screen",
                        "0",    "1024x768x24", "-nolisten",  "tcp", "-noreset"};
        options.argv.insert(options.argv.end(), extraArguments.begin(), extraArguments.end());
        server_ = std::make_unique<TChildProcess>(options);
        if (server_->ReadLine(20s) && Connectable(":" + number))
            display_ = ":" + number;
    }
}

std::string TXvfb::Log() {
    if (!server_)
        return "(no server)";
    const bool running = server_->Running();
    return (running ? "(running) " : "(ended) ") + server_->Stderr();
}

bool TXvfb::Connectable(const std::string& display) {
    ::Display* connection = XOpenDisplay(display.c_str());
    if (connection == nullptr)
        return false;
    XCloseDisplay(connection);
    return true;
}

} // namespace lorvent::testing
