#pragma once

#include <string>

namespace lorvent {

// Empty when the GUI can open its display; otherwise why not. The toolkit
// would abort the process instead of returning, so this is asked first. The
// source file is chosen by CMake per platform.
std::string DisplayProblem();

// Ends what DisplayProblem kept open. An X server resets itself when its last
// client leaves, and refuses connections meanwhile: the probe's connection is
// therefore held until the toolkit has its own.
void EndDisplayProbe();

} // namespace lorvent
