#include "sync/sync_ids.h"

#include <atomic>

#include "runtime/errors.h"

namespace tavo {

namespace {
std::atomic<std::uint64_t> next_sync_id{1};
}

std::uint64_t take_sync_id() noexcept {
    const std::uint64_t id = next_sync_id.fetch_add(1);
    if (id == 0) raise_usage_error_at_thread_site(error::syncid_overflow);
    return id;
}

}  // namespace tavo
