#include <sys/mman.h>

#include <cstdint>

#include "platform/memory.h"

namespace platform {

namespace {

constexpr std::size_t kLargePage = std::size_t{2} << 20;
constexpr std::size_t kWorthIt = std::size_t{4} << 20;

}  // namespace

void adviseLargeBuffer(void* data, std::size_t size) noexcept {
    if (data == nullptr || size < kWorthIt) {
        return;
    }
    // Only whole large pages inside the buffer can be backed by one.
    const auto begin = reinterpret_cast<std::uintptr_t>(data);
    const std::uintptr_t first = (begin + kLargePage - 1) & ~(kLargePage - 1);
    const std::uintptr_t last = (begin + size) & ~(kLargePage - 1);
    if (first < last) {
        // A refusal (no large pages on this system) leaves ordinary pages, which is fine.
        madvise(reinterpret_cast<void*>(first), last - first, MADV_HUGEPAGE);
    }
}

}  // namespace platform
