// Heap blocks the program holds, as the allocation interposers see them: the reporter describes a
// racing address that lies in one ("heap block of size N allocated by thread T at ...").
#pragma once

#include <cstddef>

namespace tavo::frontend {

// Called after a block is handed to the program, and before it is given back to the allocator.
void heap_block_allocated(void* base, std::size_t size, const void* caller_pc) noexcept;
void heap_block_freed(void* base) noexcept;

}  // namespace tavo::frontend
