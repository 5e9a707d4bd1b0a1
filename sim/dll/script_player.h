#pragma once

// The reader behind the simulated converter library, driven by a script in the
// simulator's command language and telling in a log what it hears, sends and
// does. Portable: the library's thread and exports live in ftd2xx_sim.cpp.

#include "sim/script/interpreter.h"
#include "sim/sim_device.h"

#include <cstdio>
#include <istream>
#include <string>

namespace lorvent::sim::dll {

// The library's own command beside the language, `fail <call> <status>
// [times]`, acts on the device calls instead of the reader.
class TScriptPlayer : private script::TScriptHost {
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
    void Report(TimePoint now) { interpreter_.ReportEvents(now); }
    void Say(TimePoint now, const std::string& text) const { interpreter_.Say(now, text); }

private:
    void WithReader(const std::function<void(TReaderSim&)>& action) override;
    void Unplug(TimePoint now) override;
    bool Replug(TimePoint now) override;
    void SetPaced(bool on) override { device_.SetPaced(on); }
    void ShowStatus(TimePoint now) override;
    void ShowHelp(TimePoint now) override;
    void Quit(TimePoint now) override;
    void WriteLine(const std::string& line) override;
    script::TOwnCommand ParseOwn(const std::string& line) override;

    TSimDevice& device_;
    std::FILE* log_;
    script::TScriptInterpreter interpreter_;
};

} // namespace lorvent::sim::dll
