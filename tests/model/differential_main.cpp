// The differential test: random streams, each run by the library and by the model; every stop
// must agree. A disagreeing stream is shrunk and printed.
//
//   differential [--seeds FIRST..LAST] [--keep-ended-tasks]
#include <chrono>
#include <cstdio>
#include <string>

#include "differential.h"

using namespace differential;

int main(int argc, char** argv) {
    unsigned long long first = 1, last = 100;
    std::uint32_t flags = 0;
    bool usable = true;
    for (int index = 1; index < argc && usable; ++index) {
        const std::string option = argv[index];
        if (option == "--keep-ended-tasks") flags |= TAVO_FLAG_KEEP_ENDED_TASKS;
        else usable = option == "--seeds" && index + 1 < argc && std::sscanf(argv[++index], "%llu..%llu", &first, &last) == 2;
    }
    if (!usable || first > last) {
        std::fprintf(stderr, "usage: %s [--seeds FIRST..LAST] [--keep-ended-tasks]\n", argv[0]);
        return 2;
    }
    const auto started = std::chrono::steady_clock::now();
    unsigned long long failed = 0, events = 0, counts[4] = {};
    const char* const kinds[] = {" reason ", " reason 256 ", " reason 257 ", " reason -"};  // stops, data sharing, reentrant calls, errors
    for (unsigned long long seed = first; seed <= last; ++seed) {
        const stream_t stream = generate(seed, flags);
        const outcome_t library = run_library(stream);
        const std::string difference = compare(library, run_model(stream));
        events += stream.size();
        for (const std::string& line : library) {
            for (int kind = 0; kind < 4; ++kind) counts[kind] += line.find(kinds[kind]) != std::string::npos;
        }
        if (difference.empty()) continue;
        ++failed;
        std::printf("seed %llu: the library and the model disagree\n%s", seed, difference.c_str());
        std::fflush(stdout);
        // Shrunk by dropping events, one at a time from the end, while the disagreement stays.
        stream_t smallest = stream;
        for (std::size_t index = stream.size(); index-- > 0;) {
            stream_t candidate = smallest;
            candidate.erase(candidate.begin() + static_cast<std::ptrdiff_t>(index));
            complete(candidate);
            const outcome_t candidate_library = run_library(candidate);
            if (candidate.size() < smallest.size() && (library[0] == "completed") == (candidate_library[0] == "completed") &&
                !compare(candidate_library, run_model(candidate)).empty())
                smallest = candidate;
        }
        std::printf("shrunk from %zu to %zu events:\n%s%s\n", stream.size(), smallest.size(), compare(run_library(smallest), run_model(smallest)).c_str(),
                    to_text(smallest).c_str());
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("streams %llu..%llu: %llu events, %llu stops compared (%llu data sharing, %llu reentrant calls, %llu errors) in %.1f s\n", first,
                last, events, counts[0], counts[1], counts[2], counts[3], seconds);
    std::printf("%llu passed, %llu failed\n", last - first + 1 - failed, failed);
    return failed == 0 ? 0 : 1;
}
