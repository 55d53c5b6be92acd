#pragma once

#include <filesystem>
#include <string>
#include <string_view>

namespace testsupport {

// A directory under /tmp that is removed with everything in it when the object dies.
class TempDir {
   public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Writes a file below the directory (byte for byte) and returns its full path.
    std::string write(std::string_view name, std::string_view contents) const;

   private:
    std::filesystem::path path_;
};

// Reads a whole file; an empty string when it cannot be read.
std::string readFile(const std::filesystem::path& path);

}  // namespace testsupport
