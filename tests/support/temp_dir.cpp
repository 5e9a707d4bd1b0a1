#include "support/temp_dir.h"

#include <fstream>
#include <iterator>
#include <random>
#include <stdexcept>
#include <string>

namespace lorvent::testing {

TTempDir::TTempDir() {
    std::random_device random;
    for (int attempt = 0; attempt < 100; ++attempt) {
        path_ = std::filesystem::temp_directory_path() /
                ("lorvent-test-" + std::to_string(random()) + std::to_string(random()));
        if (std::filesystem::create_directory(path_))
            return;
    }
    throw std::runtime_error("cannot make a temporary directory");
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string FileBytes(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(file), {});
}

} // namespace lorvent::testing
