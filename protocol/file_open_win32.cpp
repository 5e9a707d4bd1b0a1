#include "file_open.h"

#include <cstring>

namespace lorvent {

// The narrow fopen would read the name in the ANSI code page.
std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    const std::wstring wideMode(mode, mode + std::strlen(mode)); // modes are ASCII
    return _wfopen(path.c_str(), wideMode.c_str());
}

} // namespace lorvent
