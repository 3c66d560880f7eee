// Random event streams, generated with the model running alongside, so that the choices make
// sense where they should (exits of open tasks, joins of real forks, filter records written into
// an allocated buffer) and stay arbitrary where the library must cope with anything.
#pragma once

#include <cstdint>

#include "model.h"
#include "stream.h"

namespace differential {

struct generator_options_t {
    int events = 150;
    int max_threads = 4;
    std::uint32_t extra_flags = 0;  // set in the flags word from the start, and kept by every write
    model_options_t model;
};

stream_t generate(std::uint64_t seed, const generator_options_t& options);

// Removes what the disagreement does not need; `fails` runs a candidate.
template <class Fails>
stream_t shrink(stream_t stream, Fails fails);

}  // namespace differential

#include "shrink.inl"
