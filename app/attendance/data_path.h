#pragma once

#include <string>

namespace lorvent {

// The attendance data file used when the command line names none; the source
// file is chosen by CMake per platform.
std::string DefaultDataFileName();

// The user's own folder for the journal of a data file whose folder does not
// let the user create files (UTF-8; empty when the system names none).
std::string DefaultJournalFolder();

// The data file's absolute path as a text that is the same whenever the same
// file is named: a journal kept away from the data file is named after it.
std::string DataFileIdentity(const std::string& dataFileName);

// How the data file is opened (read and appended, created when missing) and
// how its lines end in the text handed to the C stream. The file's lines end
// in CR LF on every platform: on Windows the stream's text mode makes them,
// elsewhere the text carries them itself.
extern const char* const kDataFileMode;
extern const char* const kDataFileLineEnd;

} // namespace lorvent
