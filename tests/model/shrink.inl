// Delta debugging over events, then over the debugger's actions: a candidate is kept when it still
// disagrees. Thread exits that a removal leaves missing are added back at the end.
#pragma once

#include <cstddef>

namespace differential {

template <class Fails>
stream_t shrink(stream_t stream, Fails fails) {
    auto without_events = [](const stream_t& from, std::size_t begin, std::size_t end) {
        stream_t candidate;
        for (std::size_t index = 0; index < from.events.size(); ++index) {
            if (index < begin || index >= end) candidate.events.push_back(from.events[index]);
        }
        complete(candidate);
        return candidate;
    };
    for (std::size_t chunk = stream.events.size() / 2; chunk >= 1; chunk /= 2) {
        for (std::size_t begin = 0; begin < stream.events.size();) {
            stream_t candidate = without_events(stream, begin, begin + chunk);
            if (candidate.events.size() < stream.events.size() && fails(candidate)) {
                stream = candidate;
            } else {
                begin += chunk;
            }
        }
    }
    for (std::size_t index = 0; index < stream.events.size(); ++index) {
        for (std::size_t action = stream.events[index].at_stops.size(); action-- > 0;) {
            if (stream.events[index].op == op_t::debugger_write) break;
            stream_t candidate = stream;
            candidate.events[index].at_stops.erase(candidate.events[index].at_stops.begin() + static_cast<std::ptrdiff_t>(action));
            if (fails(candidate)) stream = candidate;
        }
    }
    return stream;
}

}  // namespace differential
