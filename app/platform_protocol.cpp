#include "platform_protocol.h"

#include "protocol/protocol.h"

namespace lorvent {

std::unique_ptr<TProtocol> MakePlatformProtocol() {
    TProtocolSetup setup;
    setup.device = MakePlatformDevice();
    setup.guiThread = WatchCurrentThread();
    return std::make_unique<TProtocol>(std::move(setup));
}

} // namespace lorvent
