#pragma once

// The simulator as a program: one reader on a pseudo-terminal, driven by
// commands from a script and from standard input, telling what it hears and
// sends. One thread, one poll loop: bytes from the program, command lines,
// paced output and timers all wait in the same place.

#include "sim/cli/command.h"
#include "sim/cli/pty_port.h"
#include "sim/reader_sim.h"

#include <csignal>
#include <deque>
#include <optional>
#include <ostream>
#include <random>
#include <string>
#include <vector>

namespace lorvent::sim::cli {

struct TRunnerOptions {
    std::string linkPath;   // keep a symbolic link here to the current pty
    std::string scriptPath; // commands to run before those from stdin
    bool paced = true;      // 9600 baud on the pty
    bool showPolls = false; // one line per poll instead of a count
    bool readStdin = true;
    bool quitOnEof = false; // end once stdin and the script are done
    std::uint32_t cardSeed = 0;
    TReaderSimConfig reader;
};

class TSimRunner {
public:
    TSimRunner(TRunnerOptions options, std::ostream& out, std::ostream& err);

    // Runs until quit or until *stop turns non-zero (set by a signal handler).
    // Returns the process exit status.
    int Run(const volatile std::sig_atomic_t* stop);

private:
    struct TSource {
        std::string name;
        std::deque<std::pair<int, std::string>> lines; // line number, text
        TimePoint resumeAt{};
        bool open = false;
        std::string partial;
        int lineCount = 0;
    };
    struct TRepeat {
        TCommand command;
        std::chrono::milliseconds period;
        TimePoint next;
    };

    bool LoadScript();
    bool Plug(TimePoint now);
    void Unplug(TimePoint now, std::chrono::milliseconds duration);
    void Step(TimePoint now);
    void RunSource(TSource& source, TimePoint now);
    void RunRepeats(TimePoint now);
    void Execute(const TCommand& command, TimePoint now);
    void ExecuteLine(TSource& source, int number, const std::string& line, TimePoint now);
    void ReaderCommand(const TCommand& command, TimePoint now);
    void Wait(TimePoint until);
    void ReadPort(TimePoint now);
    void ReadStdin();
    void TakeReaderOutput(TimePoint now);
    void WriteDueBytes(TimePoint now);
    TimePoint NextWake(TimePoint now) const;
    void PrintEvents(TimePoint now);
    void PrintPollCount(TimePoint now);
    void PrintStatus(TimePoint now);
    void Say(TimePoint now, const std::string& text);
    bool Finished() const;

    TRunnerOptions options_;
    std::ostream& out_;
    std::ostream& err_;
    TReaderSim reader_;
    TPtyPort port_;
    std::mt19937 cards_;
    TimePoint start_;

    TSource script_;
    TSource stdin_;
    std::vector<TRepeat> repeats_;
    std::optional<TimePoint> replugAt_;
    bool quit_ = false;
    bool paced_ = true;

    std::deque<std::uint8_t> pending_; // reader output not yet on the pty
    TimePoint nextByteAt_{};
    bool writeBlocked_ = false;

    int pollsUnreported_ = 0;
    TimePoint pollsReportedAt_{};
};

} // namespace lorvent::sim::cli
