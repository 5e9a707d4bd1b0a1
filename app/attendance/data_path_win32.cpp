#include "app/attendance/data_path.h"

#include "app/startup/environment.h"
#include "protocol/file_open.h"

namespace lorvent {

const char* const kDataFileMode = "at+";
const char* const kDataFileLineEnd = "\n";

std::string DefaultDataFileName() {
    return "d:\\kalvinor\\kalvinor.db";
}

std::string DefaultJournalFolder() {
    const std::optional<std::string> local = EnvironmentValue("LOCALAPPDATA");
    if (!local || local->empty())
        return {};
    return Utf8FromPath(PathFromUtf8(*local) / L"kalvinor");
}

// Windows names a file in any letter case: D:\Kalvinor and d:\kalvinor are
// one folder (ASCII folded; other letters are rare in such paths).
std::string DataFileIdentity(const std::string& dataFileName) {
    std::error_code error;
    const std::filesystem::path absolute =
        std::filesystem::absolute(PathFromUtf8(dataFileName), error);
    std::string identity =
        Utf8FromPath((error ? PathFromUtf8(dataFileName) : absolute).lexically_normal());
    for (char& c : identity)
        if (c >= 'A' && c <= 'Z')
            c = static_cast<char>(c - 'A' + 'a');
    return identity;
}

} // namespace lorvent
