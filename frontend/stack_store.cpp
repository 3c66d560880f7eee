#include "frontend/stack_store.h"

#include <atomic>

#include "platform/platform.h"

namespace tavo::frontend {

namespace {

// Protocol: a node is written whole before its id is published into a slot with release; a slot,
// once set, never changes, and readers acquire it before reading the node. Two threads making the
// same node at once both write a node; one slot wins and the loser's node stays unused.
constexpr std::size_t node_capacity = std::size_t{1} << 22;  // 64 MiB of address space, touched as used
constexpr std::size_t slot_count = std::size_t{1} << 23;     // 32 MiB, load factor at most 1/2
constexpr std::size_t probe_limit = 64;

struct store_t {
    stack_node_t* nodes;
    std::atomic<stack_id_t>* slots;
};

std::atomic<store_t*> store{nullptr};
std::atomic<std::uint32_t> next_node{1};
store_t the_store;
enum mapping_t : int { unmapped, mapping, mapped, unmappable };
std::atomic<int> mapping_state{unmapped};

void* map(std::size_t size) noexcept {
    return platform::map_memory(size);
}

// Null only when the mapping failed (the caller keeps its parent). A thread that comes while
// another maps waits for it: otherwise the first stacks of a run would be lost.
store_t* store_now() noexcept {
    if (store_t* current = store.load(std::memory_order_acquire)) return current;
    int state = unmapped;
    if (mapping_state.compare_exchange_strong(state, mapping)) {
        the_store.nodes = static_cast<stack_node_t*>(map(node_capacity * sizeof(stack_node_t)));
        the_store.slots = static_cast<std::atomic<stack_id_t>*>(map(slot_count * sizeof(stack_id_t)));
        const bool ready = the_store.nodes != nullptr && the_store.slots != nullptr;
        if (ready) store.store(&the_store, std::memory_order_release);
        mapping_state.store(ready ? mapped : unmappable, std::memory_order_release);
        return ready ? &the_store : nullptr;
    }
    while (mapping_state.load(std::memory_order_acquire) == mapping) platform::yield_thread();
    return store.load(std::memory_order_acquire);
}

std::size_t hash(stack_id_t parent, std::uint64_t word, std::uint32_t aux) noexcept {
    std::uint64_t key = (word ^ (std::uint64_t{parent} << 32 | aux)) * 0x9E3779B97F4A7C15ull;
    key ^= key >> 29;
    return static_cast<std::size_t>(key * 0xBF58476D1CE4E5B9ull >> 40);
}

}  // namespace

stack_id_t intern(stack_id_t parent, node_kind_t kind, std::uint64_t address, std::uint32_t aux) noexcept {
    store_t* const current = store_now();
    if (current == nullptr) return parent;
    const std::uint64_t word = std::uint64_t{static_cast<std::uint8_t>(kind)} << 62 | (address & ((std::uint64_t{1} << 62) - 1));
    std::size_t slot = hash(parent, word, aux) & (slot_count - 1);
    for (std::size_t probe = 0; probe < probe_limit; ++probe, slot = (slot + 1) & (slot_count - 1)) {
        stack_id_t id = current->slots[slot].load(std::memory_order_acquire);
        if (id == 0) {
            const std::uint32_t made = next_node.fetch_add(1, std::memory_order_relaxed);
            if (made >= node_capacity) return parent;
            current->nodes[made] = {parent, aux, word};
            if (current->slots[slot].compare_exchange_strong(id, made, std::memory_order_release,
                                                              std::memory_order_acquire))
                return made;
        }
        const stack_node_t& node = current->nodes[id];
        if (node.word == word && node.parent == parent && node.aux == aux) return id;
    }
    return parent;
}

const stack_node_t* node_of(stack_id_t id) noexcept {
    store_t* const current = store.load(std::memory_order_acquire);
    return id == 0 || current == nullptr || id >= node_capacity ? nullptr : &current->nodes[id];
}

std::size_t frames_of(stack_id_t id, std::uint64_t* pcs, std::size_t capacity) noexcept {
    std::size_t count = 0;
    for (const stack_node_t* node = node_of(id); node != nullptr && count < capacity; node = node_of(node->parent)) {
        if (node->kind() == node_kind_t::with_locks) continue;
        if (node->kind() != node_kind_t::frame) break;
        pcs[count++] = node->address();
    }
    return count;
}

std::size_t stack_nodes_used() noexcept {
    const std::uint32_t made = next_node.load(std::memory_order_relaxed);
    return made > node_capacity ? node_capacity - 1 : made - 1;
}

}  // namespace tavo::frontend
