#pragma once

// The simulator as a program: one reader on a pseudo-terminal, driven by
// commands from a script and from standard input, telling what it hears and
// sends. One thread, one poll loop: bytes from the program, command lines,
// paced output and timers all wait in the same place.

#include "sim/cli/pty_port.h"
#include "sim/reader_sim.h"
#include "sim/script/interpreter.h"

#include <csignal>
#include <deque>
#include <ostream>
#include <string>

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

class TSimRunner : private script::TScriptHost {
public:
    TSimRunner(TRunnerOptions options, std::ostream& out, std::ostream& err);

    // Runs until quit or until *stop turns non-zero (set by a signal handler).
    // Returns the process exit status.
    int Run(const volatile std::sig_atomic_t* stop);

private:
    // What the script's commands do to the pseudo-terminal and the output.
    void WithReader(const std::function<void(TReaderSim&)>& action) override;
    void Unplug(TimePoint now) override;
    bool Replug(TimePoint now) override;
    void SetPaced(bool on) override { paced_ = on; }
    void ShowStatus(TimePoint now) override;
    void ShowHelp(TimePoint now) override;
    void Quit(TimePoint now) override;
    void WriteLine(const std::string& line) override;

    bool LoadScript();
    bool Plug(TimePoint now);
    void Step(TimePoint now);
    void Wait(TimePoint until);
    void ReadPort(TimePoint now);
    void ReadStdin();
    void TakeReaderOutput(TimePoint now);
    void WriteDueBytes(TimePoint now);
    TimePoint NextWake(TimePoint now) const;
    bool Finished() const;

    TRunnerOptions options_;
    std::ostream& out_;
    std::ostream& err_;
    TReaderSim reader_;
    TPtyPort port_;
    script::TScriptInterpreter interpreter_;

    bool stdinOpen_ = true;
    std::string stdinPartial_;
    int stdinLines_ = 0;
    bool quit_ = false;
    bool paced_ = true;

    std::deque<std::uint8_t> pending_; // reader output not yet on the pty
    TimePoint nextByteAt_{};
    bool writeBlocked_ = false;
};

} // namespace lorvent::sim::cli
