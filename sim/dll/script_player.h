#pragma once

// The reader behind the simulated converter library, driven by a script in the
// simulator's command language and telling in a log what it hears, sends and
// does. Portable: the library's thread and exports live in ftd2xx_sim.cpp.

#include "sim/cli/command.h"
#include "sim/sim_device.h"

#include <cstdio>
#include <deque>
#include <istream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lorvent::sim::dll {

// One script line: a command of the simulator's language, or one of the
// library's own (`fail`), which acts on the device calls instead of the reader.
struct TScriptCommand {
    cli::TCommand command;
    bool deviceFailure = false; // fail <call> <status> [times]
    TDeviceCall call = TDeviceCall::Open;
    FT_STATUS status = FT_OK;
    int times = 1;
};

// Throws cli::TCommandError with a message that names the fault.
TScriptCommand ParseScriptLine(const std::string& line);

class TScriptPlayer {
public:
    // `log` may be null (no log wanted); lines are flushed as they are written.
    TScriptPlayer(TSimDevice& device, std::FILE* log, TimePoint start);

    // Reads and checks every line, so that a typo stops the run before the
    // reader goes on the bus. False, with `error` naming the script (`name`)
    // and the line, on a fault.
    bool Load(std::istream& in, const std::string& name, std::string& error);

    // Runs what is due at `now` (script lines, repeats, a timed replug) and
    // writes what the reader did meanwhile. Returns when to call again.
    TimePoint Step(TimePoint now);
    // Writes the reader's pending events and the poll count.
    void Report(TimePoint now);
    void Say(TimePoint now, const std::string& text);

private:
    struct TLine {
        int number;
        std::string text;
        TScriptCommand command;
    };
    struct TRepeat {
        cli::TCommand command;
        std::chrono::milliseconds period;
        TimePoint next;
    };

    void RunLine(const TLine& line, TimePoint now);
    void Execute(const cli::TCommand& command, TimePoint now);
    void ReaderCommand(const cli::TCommand& command, TimePoint now);
    void FailCalls(const TScriptCommand& command, TimePoint now);
    void Unplug(std::chrono::milliseconds duration, TimePoint now);
    void Replug(TimePoint now);
    void WriteStatus(TimePoint now);
    void WriteEvents();

    TSimDevice& device_;
    std::FILE* log_;
    TimePoint start_;
    std::mt19937 cards_{1};

    std::deque<TLine> lines_;
    TimePoint resumeAt_{};
    std::vector<TRepeat> repeats_;
    std::optional<TimePoint> replugAt_;
    bool quit_ = false;

    int pollsUnreported_ = 0;
    TimePoint pollsReportedAt_{};
};

} // namespace lorvent::sim::dll
