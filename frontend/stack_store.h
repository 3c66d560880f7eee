// Stacks as 32-bit ids into one store shared by all threads: a tree of (parent, code address)
// nodes, each node made once (hash-consed), so that a thread extends its current id by one look-up
// per call and an access record keeps a whole stack in 4 bytes. The same tree keeps the sets of
// locks a thread holds and their pairing with a stack, told apart by the kind of a node.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo::frontend {

using stack_id_t = std::uint32_t;  // 0: the empty stack (or nothing known)

enum class node_kind_t : std::uint8_t {
    frame,        // pc: a return address; parent: the caller's frames
    read_lock,    // pc: the lock's address; parent: the locks held before; aux: the stack that locked it
    write_lock,
    with_locks,   // parent: a stack of frames; aux: the set of locks held
};

struct stack_node_t {
    stack_id_t parent;
    std::uint32_t aux;
    std::uint64_t word;  // kind in the top two bits, the address below

    node_kind_t kind() const noexcept { return static_cast<node_kind_t>(word >> 62); }
    std::uint64_t address() const noexcept { return word & ((std::uint64_t{1} << 62) - 1); }
};

// The id of the node, made when first asked for. When the store is full the parent is returned:
// a stack loses its newest frames rather than being lost whole.
stack_id_t intern(stack_id_t parent, node_kind_t kind, std::uint64_t address, std::uint32_t aux = 0) noexcept;

// The node of an id handed out by intern; null for 0.
const stack_node_t* node_of(stack_id_t id) noexcept;

// The return addresses of a stack of frames, innermost first; a with_locks id is followed to its
// frames. Returns how many were stored.
std::size_t frames_of(stack_id_t id, std::uint64_t* pcs, std::size_t capacity) noexcept;

// Nodes made so far (benchmarks and tests).
std::size_t stack_nodes_used() noexcept;

}  // namespace tavo::frontend
