#pragma once

#include <filesystem>

namespace lorvent::testing {

// A fresh directory under the system's temporary directory, removed afterwards.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;
    const std::filesystem::path& Path() const { return path_; }

private:
    std::filesystem::path path_;
};

} // namespace lorvent::testing
