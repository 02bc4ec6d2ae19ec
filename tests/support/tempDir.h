// A temporary directory removed with everything in it when the owner goes out of scope, with
// helpers to write the files a plug-in directory holds.
#pragma once

#include <filesystem>
#include <string>

namespace testing_support {

class TempDir {
  public:
    TempDir();
    ~TempDir();
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;

    const std::filesystem::path& path() const { return path_; }
    // Path of a file inside the directory, as a string.
    std::string file(const std::string& name) const;
    // Writes `content` byte for byte (binary) to `name` and returns its path.
    std::string write(const std::string& name, const std::string& content) const;
    // Reads a file of the directory whole; empty when it does not exist.
    std::string read(const std::string& name) const;

  private:
    std::filesystem::path path_;
};

// Reads a whole file, binary; empty when it cannot be opened.
std::string readFile(const std::filesystem::path& path);

}  // namespace testing_support
