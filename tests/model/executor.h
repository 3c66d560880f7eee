// Runs a stream against the real library (in a child process forked from a process in which the
// library has just loaded, so every stream starts from the same state: first handle 1, first sync
// id 1; one real thread per stream thread, one event at a time in stream order) and against the model.
#pragma once

#include "stream.h"

namespace differential {

// A crash or a hang of the child is reported in outcome_t::failure.
outcome_t run_library(const stream_t& stream, unsigned timeout_seconds = 30);
outcome_t run_model(const stream_t& stream);

// Empty when both agree; otherwise where and how they first differ.
std::string compare(const outcome_t& library, const outcome_t& model);

}  // namespace differential
