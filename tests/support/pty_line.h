#pragma once

#include "sim/cli/pty_port.h"

#include <chrono>
#include <cstdint>
#include <string>
#include <vector>

namespace lorvent::testing {

// A pseudo-terminal standing in for the converter, its reader's end held by
// the test: what the test sends, the program reads from SlavePath(), and the
// other way round. The line stays up while the program closes and reopens it.
class TPtyLine {
public:
    TPtyLine() { port_.Open(); }

    const std::string& SlavePath() const { return port_.SlavePath(); }
    // The test's own fd on the program's side, for looking at the line settings.
    int SlaveFd() const { return port_.SlaveFd(); }

    // The reader sends; throws when the line takes nothing for a second.
    void Send(const std::vector<std::uint8_t>& bytes);
    // What the reader receives: up to `count` bytes, waiting at most `timeout`.
    std::vector<std::uint8_t> Receive(std::size_t count, std::chrono::milliseconds timeout);

    // Sets the program's side as a fresh terminal has it (echo, line editing,
    // CR to NL, XON/XOFF, two stop bits, 115200), to show that an open undoes
    // all of it.
    void MakeCooked() const;

    // The adapter is pulled: both ends go, the /dev/pts node disappears.
    void Unplug() { port_.Close(); }

private:
    bool Wait(short events, int timeoutMs) const;

    sim::cli::TPtyPort port_;
};

} // namespace lorvent::testing
