// The reference model: what the library must report for a stream of events, written to be read
// rather than to be fast. Ordinary maps and vectors, one event at a time, no concurrency.
//
// Where the library deliberately behaves otherwise than a first reading would suggest (mended
// faults, choices left open), the model follows the library; each such point is marked
// "Library:" in model.cpp.
#pragma once

#include <functional>
#include <memory>

#include "differential.h"

namespace differential {

class model_t {
public:
    // The debugger's action at the n-th stop of the current event.
    using debugger_t = std::function<debugger_action_t(std::size_t ordinal)>;

    model_t();
    ~model_t();
    void run(const event_t& event, std::size_t index, const debugger_t& debugger);
    outcome_t outcome() const;

    // What the generator looks at to choose meaningful events.
    const tavo_config_t& config() const;
    std::uint32_t filter_capacity() const;
    std::uint32_t written_records() const;
    std::vector<std::pair<std::int32_t, std::uint64_t>> chain(int thread) const;  // (type, id), innermost first
    const std::vector<std::uint64_t>& fork_ids() const;

private:
    struct state_t;
    std::unique_ptr<state_t> state_;
};

}  // namespace differential
