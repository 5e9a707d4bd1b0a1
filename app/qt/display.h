#pragma once

#include <string>

namespace lorvent {

// Empty when the GUI can open its display; otherwise why not. The toolkit
// would abort the process instead of returning, so this is asked first. The
// source file is chosen by CMake per platform.
std::string DisplayProblem();

} // namespace lorvent
