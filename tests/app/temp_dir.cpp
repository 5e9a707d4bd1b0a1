#include "temp_dir.h"

#include <random>
#include <string>

namespace lorvent::testing {

TTempDir::TTempDir() {
    std::random_device random;
    path_ = std::filesystem::temp_directory_path() /
            ("lorvent-test-" + std::to_string(random()) + std::to_string(random()));
    std::filesystem::create_directories(path_);
}

TTempDir::~TTempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

} // namespace lorvent::testing
