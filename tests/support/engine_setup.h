#pragma once

// The engine as tests, benchmarks and fuzz harnesses build it.

#include "protocol/protocol.h"

#include <memory>

namespace lorvent::testing {

// The engine with its thread on real time, over `device`, its log into `log`;
// its GUI thread is the one that constructs it.
TProtocolSetup EngineSetup(std::unique_ptr<TD2xxDevice> device, TTextMessageQueue& log);

// The engine stepped pass by pass (RunPass) without its thread, on `clock`,
// which moves only when the engine sleeps or the test moves it. Its GUI
// thread lives until the test ends `gui`; without one, for ever.
TProtocolSetup SteppedEngineSetup(std::unique_ptr<TD2xxDevice> device, TTextMessageQueue& log,
                                  std::shared_ptr<TClock> clock,
                                  std::shared_ptr<TThreadWatch> gui = nullptr);

} // namespace lorvent::testing
