#pragma once

#include <filesystem>
#include <string>

namespace lorvent::testing {

// A fresh directory under the system's temporary directory, removed with
// what is in it.
class TTempDir {
public:
    TTempDir();
    ~TTempDir();
    TTempDir(const TTempDir&) = delete;
    TTempDir& operator=(const TTempDir&) = delete;

    const std::filesystem::path& Path() const { return path_; }
    // A path in it, e.g. File("site.sqlite").
    std::filesystem::path File(const std::filesystem::path& name) const { return path_ / name; }

private:
    std::filesystem::path path_;
};

// The bytes of a file as they are on the disk; empty when there is none.
std::string FileBytes(const std::filesystem::path& path);

} // namespace lorvent::testing
