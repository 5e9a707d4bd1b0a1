#include "file_open.h"

namespace lorvent {

std::FILE* OpenFile(const std::filesystem::path& path, const char* mode) {
    return std::fopen(path.c_str(), mode);
}

} // namespace lorvent
