// The differential test: random streams, each run by the library and by the model; every stop
// must agree. A disagreeing stream is shrunk and printed, ready for regression_test.cpp.
//
//   differential --seeds 1..1000 [--events 150] [--threads 4] [--keep-ended-tasks]
#include <chrono>
#include <cstdio>
#include <cstring>
#include <string>

#include "differential.h"

using namespace differential;

namespace {

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

}  // namespace

int main(int argc, char** argv) {
    unsigned long long first = 1, last = 100;
    int events = 150, threads = 4;
    std::uint32_t flags = 0;
    bool usable = true;
    for (int index = 1; index < argc && usable; ++index) {
        const std::string option = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : "";
        if (option == "--keep-ended-tasks") flags |= TAVO_FLAG_KEEP_ENDED_TASKS;
        else if (option == "--seeds") usable = std::sscanf(value, "%llu..%llu", &first, &last) == 2, ++index;
        else if (option == "--events") usable = std::sscanf(value, "%d", &events) == 1, ++index;
        else if (option == "--threads") usable = std::sscanf(value, "%d", &threads) == 1, ++index;
        else usable = false;
    }
    if (!usable || first > last || threads < 2 || threads > 32) {
        std::fprintf(stderr, "usage: %s [--seeds FIRST..LAST] [--events N] [--threads N] [--keep-ended-tasks]\n", argv[0]);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    unsigned long long failed = 0, event_count = 0, counts[4] = {};  // stops, data sharing, reentrant calls, errors
    for (unsigned long long seed = first; seed <= last; ++seed) {
        const stream_t stream = generate(seed, events, threads, flags);
        const outcome_t library = run_library(stream);
        const std::string difference = compare(library, run_model(stream));
        event_count += stream.events.size();
        for (const std::string& stop : library.stops) {
            const std::int32_t reason = reason_of(stop);
            ++counts[0];
            counts[1] += reason == TAVO_EVENT_DATA_SHARING;
            counts[2] += reason == TAVO_EVENT_REENTRANT_CALL;
            counts[3] += reason < 0;
        }
        if (difference.empty()) continue;
        ++failed;
        std::printf("seed %llu: the library and the model disagree\n%s", seed, difference.c_str());
        std::fflush(stdout);
        const bool crashed = !library.failure.empty();
        const stream_t smallest = shrink(stream, [&](const stream_t& candidate) {
            const outcome_t candidate_library = run_library(candidate);
            return crashed == !candidate_library.failure.empty() && !compare(candidate_library, run_model(candidate)).empty();
        });
        std::printf("shrunk from %zu to %zu events:\n%s%s\n", stream.events.size(), smallest.events.size(),
                    compare(run_library(smallest), run_model(smallest)).c_str(), to_text(smallest).c_str());
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("streams %llu..%llu: %llu events, %llu stops compared (%llu data sharing, %llu reentrant calls, %llu errors) in %.1f s\n",
                first, last, event_count, counts[0], counts[1], counts[2], counts[3], seconds);
    std::printf("%llu passed, %llu failed\n", last - first + 1 - failed, failed);
    return failed == 0 ? 0 : 1;
}
