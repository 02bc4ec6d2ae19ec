// What crosses the C boundary: error texts, output buffers and the translation of exceptions into
// status codes. Every entry point runs its work through `guarded`, so no exception reaches a host.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string_view>

#include "dovetrail/dovetrail.h"
#include "platform/memory.h"

namespace plugin {

// The status codes are the DOVETRAIL_STATUS_* constants of the public header.
constexpr std::size_t kErrorAreaSize = DOVETRAIL_ERROR_TEXT_SIZE;

// The one bounded copy into a host's 1024-byte area: the message cut to 1023 bytes, then zero
// bytes to the end of the area. A null area is left alone.
void copyErrorText(std::string_view message, void* area) noexcept;

// The plug-in's heap, shared with plugin_alloc/plugin_free so hosts can free what they are given.
//
// Test seam: after limitAllocations(N), the allocations after the first N fail (return null)
// until the next call; a negative N lifts the limit, as it is from the start.
void* allocate(std::size_t size) noexcept;
// Resizes a block of that heap, keeping its contents; null (the block unchanged) when it fails.
// Counts as an allocation under the test seam.
void* reallocate(void* block, std::size_t size) noexcept;
void release(void* block) noexcept;
void limitAllocations(long long allowed) noexcept;

// Hands a text of `length` bytes to the host: allocates a buffer of exactly that length (no
// terminator), lets `fill` write the bytes into it, and stores its address and length through the
// out-parameters. Returns DOVETRAIL_STATUS_NO_MEMORY, writing nothing, when the buffer can't be
// had.
template <typename Fill>
std::int32_t handOver(std::size_t length, Fill&& fill, char** textOut, std::uint32_t* lengthOut);

std::int32_t handOver(std::string_view text, char** textOut, std::uint32_t* lengthOut) noexcept;

// Runs `work` and returns its status; an exception becomes DOVETRAIL_STATUS_FAILED with its message
// copied into `errorArea` ("Unexpected internal error." for one that is not a std::exception).
template <typename Work>
std::int32_t guarded(void* errorArea, Work&& work) noexcept;

void reportException(void* errorArea) noexcept;

template <typename Fill>
std::int32_t handOver(std::size_t length, Fill&& fill, char** textOut, std::uint32_t* lengthOut) {
    if (length > UINT32_MAX) {
        return DOVETRAIL_STATUS_NO_MEMORY;
    }
    // At least one byte, so that an empty text still gets a buffer the host may free.
    char* buffer = static_cast<char*>(allocate(length == 0 ? 1 : length));
    if (buffer == nullptr) {
        return DOVETRAIL_STATUS_NO_MEMORY;
    }
    platform::adviseLargeBuffer(buffer, length);
    try {
        fill(buffer);
    } catch (...) {
        release(buffer);
        throw;
    }
    if (textOut != nullptr) {
        *textOut = buffer;
    } else {
        release(buffer);
    }
    if (lengthOut != nullptr) {
        *lengthOut = static_cast<std::uint32_t>(length);
    }
    return DOVETRAIL_STATUS_OK;
}

template <typename Work>
std::int32_t guarded(void* errorArea, Work&& work) noexcept {
    try {
        return work();
    } catch (...) {
        reportException(errorArea);
        return DOVETRAIL_STATUS_FAILED;
    }
}

}  // namespace plugin
