#include "frontend/heap_blocks.h"

namespace tavo::frontend {

// No registry yet: reports do not describe heap blocks.
void heap_block_allocated(void*, std::size_t, const void*) noexcept {}
void heap_block_freed(void*) noexcept {}

}  // namespace tavo::frontend
