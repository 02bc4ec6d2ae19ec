// Hints about large buffers. A buffer of many megabytes that is about to be filled costs one
// page fault per 4 KiB page; backing it with large pages where the system offers them saves most
// of that work. The hint changes no contents and may be ignored.
#pragma once

#include <cstddef>

namespace platform {

// Advises that [data, data + size) is a large buffer about to be written from start to end. Call
// it before the first write; small buffers are left alone. Never fails.
void adviseLargeBuffer(void* data, std::size_t size) noexcept;

}  // namespace platform
