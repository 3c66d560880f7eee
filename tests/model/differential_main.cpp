// The differential test: random streams, each run by the library and by the model; every stop
// must agree. A disagreeing stream is shrunk and printed as a regression test.
//
//   differential --seeds 1..1000 [--events 150] [--threads 4] [--keep-ended-tasks] [--no-shrink] [--print-seed N]
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "executor.h"
#include "generator.h"

using namespace differential;

namespace {

struct arguments_t {
    std::uint64_t first_seed = 1;
    std::uint64_t last_seed = 100;
    generator_options_t generator;
    bool shrink = true;
    bool print = false;
};

bool parse(int argc, char** argv, arguments_t& arguments) {
    for (int index = 1; index < argc; ++index) {
        const std::string argument = argv[index];
        const char* value = index + 1 < argc ? argv[index + 1] : nullptr;
        if (argument == "--seeds" && value != nullptr) {
            const char* dots = std::strstr(value, "..");
            if (dots == nullptr) return false;
            arguments.first_seed = std::strtoull(value, nullptr, 10);
            arguments.last_seed = std::strtoull(dots + 2, nullptr, 10);
            ++index;
        } else if (argument == "--print-seed" && value != nullptr) {
            arguments.first_seed = arguments.last_seed = std::strtoull(value, nullptr, 10);
            arguments.print = true;
            ++index;
        } else if (argument == "--events" && value != nullptr) {
            arguments.generator.events = std::atoi(value);
            ++index;
        } else if (argument == "--threads" && value != nullptr) {
            arguments.generator.max_threads = std::atoi(value);
            ++index;
        } else if (argument == "--keep-ended-tasks") {
            arguments.generator.extra_flags |= TAVO_FLAG_KEEP_ENDED_TASKS;
        } else if (argument == "--no-shrink") {
            arguments.shrink = false;
        } else {
            return false;
        }
    }
    return arguments.first_seed <= arguments.last_seed && arguments.generator.max_threads >= 2 &&
           arguments.generator.max_threads <= 32;
}

}  // namespace

int main(int argc, char** argv) {
    arguments_t arguments;
    if (!parse(argc, argv, arguments)) {
        std::fprintf(stderr, "usage: %s [--seeds FIRST..LAST] [--events N] [--threads N] [--keep-ended-tasks] [--no-shrink] [--print-seed N]\n", argv[0]);
        return 2;
    }
    const model_options_t options = library_model_options();
    arguments.generator.model = options;
    std::printf("model: data-sharing check %s, reentrancy check %s\n", options.tsm ? "on" : "off (not in this build)",
                options.re ? "on" : "off (not in this build)");
    const auto started = std::chrono::steady_clock::now();
    std::uint64_t passed = 0, failed = 0, events = 0, stops = 0, detections = 0, reentrant = 0, errors = 0;
    for (std::uint64_t seed = arguments.first_seed; seed <= arguments.last_seed; ++seed) {
        const stream_t stream = generate(seed, arguments.generator);
        if (arguments.print) std::printf("%s", to_cpp(stream, "seed_" + std::to_string(seed)).c_str());
        const outcome_t model = run_model(stream, options);
        const outcome_t library = run_library(stream);
        const std::string difference = compare(library, model);
        events += stream.events.size();
        for (const stop_t& stop : library.stops) {
            ++stops;
            detections += stop.reason == TAVO_EVENT_DATA_SHARING;
            reentrant += stop.reason == TAVO_EVENT_REENTRANT_CALL;
            errors += stop.reason < 0;
        }
        if (difference.empty()) {
            ++passed;
            continue;
        }
        ++failed;
        std::printf("seed %llu: the library and the model disagree\n%s", static_cast<unsigned long long>(seed), difference.c_str());
        std::fflush(stdout);
        if (!arguments.shrink) continue;
        const bool crashed = !library.failure.empty();
        const stream_t smallest = shrink(stream, [&](const stream_t& candidate) {
            const outcome_t candidate_library = run_library(candidate);
            if (crashed != !candidate_library.failure.empty()) return false;
            return !compare(candidate_library, run_model(candidate, options)).empty();
        });
        if (std::getenv("TAVO_DIFFERENTIAL_TRACE") != nullptr) {
            const outcome_t l = run_library(smallest), m = run_model(smallest, options);
            for (const stop_t& stop : l.stops) std::printf("library %s\n", describe(stop).c_str());
            for (const stop_t& stop : m.stops) std::printf("model   %s\n", describe(stop).c_str());
        }
        std::printf("shrunk from %zu to %zu events:\n%s\n%s\n", stream.events.size(), smallest.events.size(),
                    compare(run_library(smallest), run_model(smallest, options)).c_str(),
                    to_cpp(smallest, "seed_" + std::to_string(seed)).c_str());
        std::fflush(stdout);
    }
    const double seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - started).count();
    std::printf("streams %llu..%llu: %llu events, %llu stops compared (%llu data sharing, %llu reentrant calls, %llu errors) "
                "in %.1f s\n",
                static_cast<unsigned long long>(arguments.first_seed), static_cast<unsigned long long>(arguments.last_seed),
                static_cast<unsigned long long>(events), static_cast<unsigned long long>(stops),
                static_cast<unsigned long long>(detections), static_cast<unsigned long long>(reentrant),
                static_cast<unsigned long long>(errors), seconds);
    std::printf("%llu passed, %llu failed\n", static_cast<unsigned long long>(passed), static_cast<unsigned long long>(failed));
    return failed == 0 ? 0 : 1;
}
