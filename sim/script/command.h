#pragma once

// One line of the simulator's command language, parsed. Parsing is apart from
// running (interpreter.h) so that every spelling and every error can be tested
// alone. The pseudo-terminal runner and the simulated library speak it alike.

#include "sim/wire.h"

#include <chrono>
#include <memory>
#include <stdexcept>
#include <string>

namespace lorvent::sim::script {

class TCommandError : public std::runtime_error {
public:
    using std::runtime_error::runtime_error;
};

enum class TCommandKind {
    Nothing, // blank line or comment
    Card,    // a card read; see cardBytes, connectionless, random
    Send,    // a data Packet with any payload
    Text,    // a text as 0x85 records
    Every,   // run `repeated` every `duration`
    EveryOff,
    Unplug, // for `duration`, or until replug when it is zero
    Replug,
    SilencePolls,
    SilenceTime,
    Noise,
    CorruptCrc,  // the next `count` frames
    CorruptRate, // one byte in `count`; 0 stops
    LoseReplies,
    Repeat,
    WrongAddress, // `count` is the address, or -1 for our address + 1
    Oversize,
    Pace, // `on`
    ResetRequest,
    Status,
    Wait,
    Quit,
    Help,
};

struct TCommand {
    TCommand() = default;
    explicit TCommand(TCommandKind what) : kind(what) {}

    TCommandKind kind = TCommandKind::Nothing;
    Bytes bytes;                 // card number or payload
    int cardBytes = 4;           // 4 or 5
    bool connectionless = false; // card read as a connectionless message
    bool random = false;         // card number drawn when the command runs
    int count = 0;
    bool on = false;
    std::chrono::milliseconds duration{0};
    std::string text;
    std::shared_ptr<const TCommand> repeated; // for Every
};

// Throws TCommandError with a message that names the fault.
TCommand ParseCommand(const std::string& line);

// "250ms", "2s", "1.5s", "1m". Throws TCommandError.
std::chrono::milliseconds ParseDuration(const std::string& word);

// The command summary printed by "help" and --help.
const char* CommandHelp();

} // namespace lorvent::sim::script
