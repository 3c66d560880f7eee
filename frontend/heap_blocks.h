// Heap blocks the program holds, as the allocation interposers see them: the reporter describes a
// racing address that lies in one ("heap block of size N allocated by thread T at ...").
#pragma once

#include <cstddef>
#include <cstdint>

#include "frontend/stack_store.h"

namespace tavo::frontend {

// Called after a block is handed to the program, and before it is given back to the allocator.
void heap_block_allocated(void* base, std::size_t size, const void* caller_pc) noexcept;
void heap_block_freed(void* base) noexcept;

struct heap_block_t {
    std::uint64_t base;
    std::uint64_t size;
    std::uint64_t thread;  // task id of the allocating thread, 0 for the main thread
    stack_id_t allocated_at;
};
// The live block that contains the address.
bool heap_block_containing(std::uint64_t address, heap_block_t& block) noexcept;
// How many blocks are held now.
std::size_t heap_blocks_held() noexcept;

// Call sites that freed a block. A free leaves the first bytes of its block written by its thread
// at its call site (block_events.h), and a record made at one of these sites is such a free.
void free_site_noted(std::uint64_t site) noexcept;
bool is_free_site(std::uint64_t site) noexcept;

}  // namespace tavo::frontend
