// Random event streams, generated with the model running alongside, so that the choices make
// sense where they should (exits of open tasks, joins of real forks, filter records written into
// an allocated buffer) and stay arbitrary where the library must cope with anything.
#pragma once

#include <cstdint>

#include "stream.h"

namespace differential {

// extra_flags are set in the flags word from the start and kept by every write.
stream_t generate(std::uint64_t seed, int events, int max_threads, std::uint32_t extra_flags);

// Removes what a disagreement does not need: events, then the debugger's actions at stops; a
// candidate is kept when `fails` says it still disagrees. Thread exits a removal leaves missing
// are added back at the end.
template <class Fails>
stream_t shrink(stream_t stream, Fails fails) {
    for (std::size_t chunk = stream.events.size() / 2; chunk >= 1; chunk /= 2) {
        for (std::size_t begin = 0; begin < stream.events.size();) {
            stream_t candidate = stream;
            candidate.events.erase(candidate.events.begin() + static_cast<std::ptrdiff_t>(begin),
                                   candidate.events.begin() + static_cast<std::ptrdiff_t>(std::min(begin + chunk, stream.events.size())));
            complete(candidate);
            if (candidate.events.size() < stream.events.size() && fails(candidate)) stream = candidate;
            else begin += chunk;
        }
    }
    for (event_t& event : stream.events) {
        for (std::size_t action = event.op == op_t::debugger ? 0 : event.at_stops.size(); action-- > 0;) {
            const event_t before = event;
            event.at_stops.erase(event.at_stops.begin() + static_cast<std::ptrdiff_t>(action));
            if (!fails(stream)) event = before;
        }
    }
    return stream;
}

}  // namespace differential
