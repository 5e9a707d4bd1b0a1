#pragma once

#include "app/program.h"

#include <ostream>
#include <string>
#include <vector>

namespace lorvent {

class TServiceNotifier;

// Why lorventd will not run in keyboard mode: without a display there is no
// window to type into.
inline const char* const kMsgKeyboardWithoutDisplay =
    "Bez displeje nelze psát čísla karet: lorventd běží jen v režimu docházky (-net)";

// The data file when the command line names none: kalvinor.db in the
// service's state directory ($STATE_DIRECTORY, set by the service manager),
// or where the window keeps it when lorventd is run by hand.
std::string DaemonDataFileName();

// The service's state directory ($STATE_DIRECTORY, its first entry), where the
// journal goes when the data file's folder does not let the service create
// it; empty when lorventd is run by hand (the user's own state folder).
std::string DaemonStateDirectory();

// The keyboard of a program without a display: there is none.
class TNoKeyboard : public TKeyboard {
public:
    std::string Unavailable() override { return kMsgKeyboardWithoutDisplay; }
    TStroke CharacterStroke(char) override { return {}; }
    TStroke VirtualKeyStroke(std::uint8_t) override { return {}; }
    void Strike(const TStroke&) override {}
};

// One run of lorventd: the window's behaviour on an event loop with its two
// timers and its message queue, what the window would show written to
// `journal`, the service manager told of start-up, status and shut-down, and
// kept from its watchdog while the loop turns. SIGTERM, SIGINT and SIGHUP end
// the loop and run the shut-down. Returns the exit status: 0 after a signal,
// kExitStartupFailed when start-up failed.
int RunDaemon(const std::vector<std::string>& arguments, TProgramPlatform& platform,
              TServiceNotifier& notifier, std::ostream& journal);

} // namespace lorvent
