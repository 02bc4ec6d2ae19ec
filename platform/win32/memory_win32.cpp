#include "platform/memory.h"

namespace platform {

// Windows backs memory with large pages only when it is allocated so (VirtualAlloc with
// MEM_LARGE_PAGES, which needs a privilege hosts do not hold); memory already allocated cannot be
// advised, so the hint is ignored.
void adviseLargeBuffer(void*, std::size_t) noexcept {}

}  // namespace platform
