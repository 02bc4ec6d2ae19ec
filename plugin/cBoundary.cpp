#include "cBoundary.h"

#include <atomic>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <new>

namespace plugin {

namespace {

// Allocations still allowed under the test seam; negative means no limit.
std::atomic<long long> allocationsLeft{-1};

// Takes one allocation from the test seam's allowance; false when none is left.
bool allocationAllowed() noexcept {
    long long left = allocationsLeft.load();
    while (left >= 0) {
        if (left == 0) {
            return false;
        }
        if (allocationsLeft.compare_exchange_weak(left, left - 1)) {
            break;
        }
    }
    return true;
}

}  // namespace

void copyErrorText(std::string_view message, void* area) noexcept {
    if (area == nullptr) {
        return;
    }
    // Cut to leave room for the terminator: the host's buffer is exactly this size.
    const std::size_t length = std::min(message.size(), kErrorAreaSize - 1);
    auto* bytes = static_cast<char*>(area);
    std::memcpy(bytes, message.data(), length);
    std::memset(bytes + length, 0, kErrorAreaSize - length);
}

void limitAllocations(long long allowed) noexcept {
    allocationsLeft.store(allowed < 0 ? -1 : allowed);
}

void* allocate(std::size_t size) noexcept {
    return allocationAllowed() ? std::malloc(size) : nullptr;
}

void* reallocate(void* block, std::size_t size) noexcept {
    return allocationAllowed() ? std::realloc(block, size) : nullptr;
}

void release(void* block) noexcept {
    std::free(block);
}

std::int32_t handOver(std::string_view text, char** textOut, std::uint32_t* lengthOut) noexcept {
    return handOver(
        text.size(),
        [&](char* buffer) {
            if (!text.empty()) {
                std::memcpy(buffer, text.data(), text.size());
            }
        },
        textOut, lengthOut);
}

void reportException(void* errorArea) noexcept {
    try {
        throw;
    } catch (const std::bad_alloc&) {
        copyErrorText("Out of memory.", errorArea);
    } catch (const std::exception& error) {
        copyErrorText(error.what(), errorArea);
    } catch (...) {
        copyErrorText("Unexpected internal error.", errorArea);
    }
}

}  // namespace plugin
