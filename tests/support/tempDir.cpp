#include "support/tempDir.h"

#include <atomic>
#include <chrono>
#include <cstdint>
#include <fstream>
#include <iterator>
#include <mutex>
#include <random>
#include <stdexcept>
#include <string>
#include <system_error>

namespace testing_support {

TempDir::TempDir() {
    // A name nobody else holds: create_directory fails for one that exists, and the random part
    // keeps concurrent test processes apart.
    static std::atomic<unsigned> counter{0};
    static std::mt19937_64 random(
        std::random_device{}() ^
        static_cast<std::uint64_t>(std::chrono::steady_clock::now().time_since_epoch().count()));
    static std::mutex randomMutex;
    const std::filesystem::path base = std::filesystem::temp_directory_path();
    for (int attempt = 0; attempt < 100; ++attempt) {
        std::uint64_t number = 0;
        {
            std::lock_guard<std::mutex> lock(randomMutex);
            number = random();
        }
        const std::filesystem::path candidate =
            base / ("dovetrail-test-" + std::to_string(number % 1000000007u) + "-" +
                    std::to_string(counter++));
        std::error_code error;
        if (std::filesystem::create_directory(candidate, error)) {
            path_ = candidate;
            return;
        }
    }
    throw std::runtime_error("Can't create a temporary directory in " + base.string());
}

TempDir::~TempDir() {
    std::error_code ignored;
    std::filesystem::remove_all(path_, ignored);
}

std::string TempDir::file(const std::string& name) const {
    return (path_ / name).string();
}

std::string TempDir::write(const std::string& name, const std::string& content) const {
    const auto target = path_ / name;
    std::filesystem::create_directories(target.parent_path());
    std::ofstream out(target, std::ios::binary | std::ios::trunc);
    out.write(content.data(), static_cast<std::streamsize>(content.size()));
    if (!out) {
        throw std::runtime_error("Can't write test file: " + target.string());
    }
    return target.string();
}

std::string TempDir::read(const std::string& name) const {
    return readFile(path_ / name);
}

std::string readFile(const std::filesystem::path& path) {
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>());
}

}  // namespace testing_support
