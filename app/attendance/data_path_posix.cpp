#include "app/attendance/data_path.h"

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

} // namespace

std::string DefaultDataFileName() {
    // Data files belong under XDG_DATA_HOME; a relative value is to be ignored.
    const char* dataHome = std::getenv("XDG_DATA_HOME");
    const std::string base = dataHome != nullptr && dataHome[0] == '/'
                                 ? std::string(dataHome)
                                 : HomeDirectory() + "/.local/share";
    return base + "/kalvinor/kalvinor.db";
}

} // namespace lorvent
