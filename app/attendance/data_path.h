#pragma once

#include <string>

namespace lorvent {

// The attendance data file used when the command line names none; the source
// file is chosen by CMake per platform.
std::string DefaultDataFileName();

// How the data file is opened (read and appended, created when missing) and
// how its lines end in the text handed to the C stream. The file's lines end
// in CR LF on every platform: on Windows the stream's text mode makes them,
// elsewhere the text carries them itself.
extern const char* const kDataFileMode;
extern const char* const kDataFileLineEnd;

} // namespace lorvent
