#include "support/engine_setup.h"

#include "support/fake_clock.h"

namespace lorvent::testing {

TProtocolSetup EngineSetup(std::unique_ptr<TD2xxDevice> device, TTextMessageQueue& log) {
    TProtocolSetup setup;
    setup.device = std::move(device);
    setup.logSink = &log;
    return setup;
}

TProtocolSetup SteppedEngineSetup(std::unique_ptr<TD2xxDevice> device, TTextMessageQueue& log,
                                  std::shared_ptr<TClock> clock,
                                  std::shared_ptr<TThreadWatch> gui) {
    TProtocolSetup setup = EngineSetup(std::move(device), log);
    setup.clock = std::move(clock);
    setup.guiThread = gui ? std::move(gui) : std::make_shared<FlagThreadWatch>();
    setup.startThread = false;
    return setup;
}

} // namespace lorvent::testing
