#include "app/attendance/data_path.h"

#include "protocol/file_open.h"

#include <pwd.h>
#include <unistd.h>

#include <cstdlib>
#include <vector>

namespace lorvent {

const char* const kDataFileMode = "ab+";
const char* const kDataFileLineEnd = "\r\n";

namespace {

std::string HomeDirectory() {
    if (const char* home = std::getenv("HOME"); home != nullptr && *home != '\0')
        return home;
    std::vector<char> buffer(16384);
    passwd entry{};
    passwd* found = nullptr;
    if (getpwuid_r(getuid(), &entry, buffer.data(), buffer.size(), &found) == 0 && found)
        return found->pw_dir;
    return ".";
}

// An XDG base directory from its variable, else under the home directory; a
// relative value is to be ignored.
std::string BaseDirectory(const char* variable, const char* underHome) {
    const char* value = std::getenv(variable);
    return value != nullptr && value[0] == '/' ? std::string(value) : HomeDirectory() + underHome;
}

} // namespace

// Data files belong under XDG_DATA_HOME, the state of a program that is kept
// between its runs (a journal among it) under XDG_STATE_HOME.
std::string DefaultDataFileName() {
    return BaseDirectory("XDG_DATA_HOME", "/.local/share") + "/kalvinor/kalvinor.db";
}

std::string DefaultJournalFolder() {
    return BaseDirectory("XDG_STATE_HOME", "/.local/state") + "/kalvinor";
}

std::string DataFileIdentity(const std::string& dataFileName) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(PathFromUtf8(dataFileName), error);
    return Utf8FromPath((error ? PathFromUtf8(dataFileName) : absolute).lexically_normal());
}

} // namespace lorvent
