// What an access record remembers of how the access was reached: an id the front end gives to
// the calling thread's current stack (and the locks it holds), 0 where it keeps none. Each new
// record asks for the thread's id (refreshed records keep theirs, as they keep their call site);
// a detection hands the ids of its offended accesses back.
#pragma once

#include <cstddef>
#include <cstdint>

namespace tavo {

// Set once by a front end before any access is checked; called on the accessing thread. Null: 0.
using history_source_t = std::uint32_t (*)() noexcept;
extern history_source_t access_history;

// While a data-sharing detection is reported (under the runtime lock): the id kept with
// offended[index] of __tavo_current_detection, 0 outside a report or when unknown.
std::uint32_t offended_history(std::size_t index) noexcept;

}  // namespace tavo
