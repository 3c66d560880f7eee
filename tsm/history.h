// What an access record remembers of how the access was reached: an id the front end gives to
// the calling thread's current stack (and the locks it holds), 0 where it keeps none. Each new
// record copies the thread's id; a detection hands the ids of its offended accesses back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// Written by the front end on its own thread only, read by the engine on the same thread.
extern thread_local std::uint32_t access_history;

// While a data-sharing detection is reported (under the runtime lock): the id kept with
// offended[index] of __tavo_current_detection, 0 outside a report or when unknown.
std::uint32_t offended_history(std::size_t index) noexcept;

}  // namespace tavo
