#pragma once

// Runs a script of the simulator's command language against one reader: the
// lines in order with their waits, the repeats of `every`, the timed replug of
// `unplug <duration>`, and the report of what the reader heard, sent and
// suffered. What a command means to the reader's surroundings (a
// pseudo-terminal, the simulated converter library's device) is the host's.

#include "sim/reader_sim.h"
#include "sim/script/command.h"

#include <chrono>
#include <deque>
#include <functional>
#include <istream>
#include <optional>
#include <random>
#include <string>
#include <vector>

namespace lorvent::sim::script {

// A command of the host's own beside the language (the simulated library's
// `fail`), parsed when its line is read and run when its turn comes.
using TOwnCommand = std::function<void(TimePoint now)>;

class TScriptHost {
public:
    virtual ~TScriptHost() = default;
    // Runs `action` on the reader, under whatever guards it.
    virtual void WithReader(const std::function<void(TReaderSim&)>& action) = 0;
    virtual void Unplug(TimePoint now) = 0;
    // False when the reader could not be plugged in; it is tried again later.
    virtual bool Replug(TimePoint now) = 0;
    virtual void SetPaced(bool on) = 0;
    virtual void ShowStatus(TimePoint now) = 0;
    virtual void ShowHelp(TimePoint now) = 0;
    // `quit`: the script has ended.
    virtual void Quit(TimePoint now) = 0;
    // One line of the report, its time stamp in front.
    virtual void WriteLine(const std::string& line) = 0;
    // The host's own command on `line`, or an empty function when the line
    // holds none; throws TCommandError for a bad one.
    virtual TOwnCommand ParseOwn(const std::string& line);
};

class TScriptInterpreter {
public:
    // Report lines are stamped with the seconds since `start`; `cardSeed`
    // draws the numbers of `card random`; `showPolls` lists every poll
    // instead of counting them.
    TScriptInterpreter(TScriptHost& host, TimePoint start, std::uint32_t cardSeed,
                       bool showPolls = false);

    // Reads and checks every line of a script, so that a typo stops the run
    // before the reader goes on the bus. False, with `error` naming the
    // script (`name`) and the line, on a fault; then nothing is queued.
    bool Load(std::istream& in, const std::string& name, std::string& error);
    // Queues one line that arrives while the script runs (standard input).
    // A bad one is reported when its turn comes.
    void Add(const std::string& source, int number, const std::string& text);

    // Runs what is due at `now`: a timed replug, the repeats, the lines up
    // to the next wait; then reports the reader's events. Returns NextDue.
    TimePoint Step(TimePoint now);
    // When something of the script falls due next (never before `now`).
    TimePoint NextDue(TimePoint now) const;
    // Writes the reader's pending events, and the count of polls every 5 s.
    void ReportEvents(TimePoint now);
    void Say(TimePoint at, const std::string& text) const;

    bool HasLines() const { return !lines_.empty(); }

private:
    struct TLine {
        std::string source;
        int number = 0;
        std::string text; // trimmed, for the report
        TCommand command;
        TOwnCommand own;
        std::string error; // not empty: the line is reported, not run
    };
    struct TRepeat {
        TCommand command;
        std::chrono::milliseconds period;
        TimePoint next;
    };

    TLine Parse(const std::string& source, int number, const std::string& text) const;
    void RunLine(const TLine& line, TimePoint now);
    void Execute(const TCommand& command, TimePoint now);
    void ApplyToReader(const TCommand& command, TimePoint now);
    void Unplug(TimePoint now, std::chrono::milliseconds duration);
    void Replug(TimePoint now);
    void Quit(TimePoint now);
    void ReportPollCount(TimePoint at);

    TScriptHost& host_;
    TimePoint start_;
    std::mt19937 cards_;
    bool showPolls_;

    std::deque<TLine> lines_;
    TimePoint resumeAt_{};
    std::vector<TRepeat> repeats_;
    std::optional<TimePoint> replugAt_;

    int pollsUnreported_ = 0;
    TimePoint pollsReportedAt_{};
};

} // namespace lorvent::sim::script
