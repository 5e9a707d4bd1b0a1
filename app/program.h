#pragma once

#include "app/attendance/server_connection.h"
#include "app/frm_services.h"
#include "app/keyboard/keyboard.h"

#include <cstdint>
#include <fstream>
#include <functional>
#include <memory>
#include <optional>
#include <ostream>
#include <string>
#include <vector>

namespace lorvent {

class TMainFrm;
class TProtocol;

// What a front-end's program runs on: the real platform, or test doubles.
struct TProgramPlatform {
    TKeyboard& keyboard;
    std::string defaultDataFileName;
    std::function<std::unique_ptr<TProtocol>()> makeProtocol;
    std::function<std::unique_ptr<TServerConnection>()> makeServerConnection;
    // The folder for the journal when the data file's folder does not let
    // the user create it; empty: the user's own.
    std::string journalStateFolder = {};
};

// The attendance server's port: the fixed one, unless LORVENT_SERVER_PORT
// moves it (for tests that run a server on a free port; not a setting for
// sites). Empty when the variable holds no port number.
std::optional<std::uint16_t> ServerPort();

// What a front-end tells the user when ServerPort() is empty.
std::string InvalidServerPortMessage();

// Reads a port number 1..65535 written in decimal digits alone.
std::optional<std::uint16_t> ParsePort(const std::string& text);

// LORVENT_UI_TRACE names a file (appended to) or "-" for standard error that
// receives one line per change of the window (see TTracedView). Null when the
// variable is unset or empty, or the file cannot be opened; `file` holds the
// stream opened for a file.
std::ostream* OpenTrace(std::ofstream& file);

// What a front-end's window brings to a run of the program.
struct TFrontEnd {
    TMainFrmView& view;
    TMessagePoster& poster;
    TMessageBoxes& boxes;
    // Hands the window its behaviour, or takes it back (null).
    std::function<void(TMainFrm*)> attach;
    // Shows the window and runs the message loop; returns the exit status.
    std::function<int()> showAndRun;
    // Where a start-up failure is written besides its box, for whoever
    // watches the terminal; null: standard error.
    std::ostream* errors = nullptr;
};

// One run: the window's behaviour built on the front-end (its view traced
// when LORVENT_UI_TRACE asks), start-up, then the message loop. A start-up
// failure has been shown in a box and gives kExitStartupFailed.
int RunMainFrm(TFrontEnd frontEnd, const std::vector<std::string>& arguments,
               TProgramPlatform& platform);

} // namespace lorvent
