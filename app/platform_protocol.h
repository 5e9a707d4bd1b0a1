#pragma once

#include <memory>

namespace lorvent {

class TProtocol;

// The engine on this platform's bus device, watching the calling (GUI) thread
// and logging to log.txt in the working directory. Its thread starts at once.
std::unique_ptr<TProtocol> MakePlatformProtocol();

} // namespace lorvent
