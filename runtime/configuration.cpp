// The configuration poll: applies what the debugger wrote into the configuration block.
#include <iostream>

#include "filter/filter_batch.h"
#include "runtime/errors.h"
#include "runtime/log.h"
#include "runtime/memory.h"
#include "runtime/runtime.h"

namespace tavo {

namespace {

constexpr std::uint32_t unknown_feature_bits = 0xFC;  // request bits 2 to 7 name no feature

std::atomic_ref<std::uint32_t> request() { return std::atomic_ref<std::uint32_t>(__tavo_config.request); }
void clear_request(std::uint32_t bits) { request().fetch_and(~bits); }

// The filter buffer is replaced, never freed otherwise: the debugger may still hold its address.
std::int32_t allocate_filter_buffer() {
    const std::uint32_t count = __tavo_config.filter_count;
    heap_free(__tavo_filter_space, std::size_t{filter_capacity} * sizeof(tavo_filter_record_t));
    __tavo_filter_space = nullptr;
    filter_capacity = 0;
    const std::uint64_t bytes = std::uint64_t{count} * sizeof(tavo_filter_record_t);
    if (logging(log_family::status)) log_stream() << "tavo: allocate " << std::dec << bytes << " bytes of filter buffer" << std::endl;
    void* buffer = bytes == 0 ? nullptr : heap_allocate(bytes);
    if (bytes != 0 && buffer == nullptr) return error::out_of_memory;
    __tavo_filter_space = static_cast<tavo_filter_record_t*>(buffer);
    filter_capacity = count;
    clear_request(TAVO_REQUEST_ALLOCATE);
    return TAVO_EVENT_CONFIGURATION_UPDATED;
}

}  // namespace

std::int32_t runtime_t::poll_configuration() noexcept {
    if (logging(log_family::dumps)) write_dump_line(log_stream(), "__tavo_config", &__tavo_config, sizeof __tavo_config);
    if (__tavo_config.version != TAVO_CONFIG_VERSION) {
        __tavo_config.version = TAVO_CONFIG_VERSION;
        return error::version_mismatch;
    }
    std::int32_t result = TAVO_EVENT_NONE;
    const std::uint32_t requested = request().load();
    if (requested & TAVO_REQUEST_PING) {
        clear_request(TAVO_REQUEST_PING);
        return TAVO_EVENT_PING_ANSWER;
    }
    if (requested & TAVO_REQUEST_ALLOCATE) {
        result = allocate_filter_buffer();
        if (result < 0) return result;
    } else if (requested & TAVO_REQUEST_APPLY_FILTERS) {
        if (filter_capacity < __tavo_config.filter_count) return error::invalid_parameter;
        if (const std::int32_t failure = apply_filter_batch(*this); failure != 0) return failure;
        clear_request(TAVO_REQUEST_APPLY_FILTERS);
        result = TAVO_EVENT_CONFIGURATION_UPDATED;
    }
    // Resets and the final check look at the word as this poll read it: a bit the debugger sets
    // meanwhile waits for the next poll instead of being answered as an unknown feature.
    for (std::uint32_t index = 0; index < 2; ++index) {
        const std::uint32_t bit = 1u << index;
        if ((requested & bit) == 0) continue;
        if (features[index] == nullptr) return error::unknown_feature;
        if (logging(log_family::status)) log_stream() << "tavo: resetting " << (index == 0 ? "tsm" : "re") << std::endl;
        features[index]->reset();
        clear_request(bit);
        result = TAVO_EVENT_CONFIGURATION_UPDATED;
    }
    if (requested & unknown_feature_bits) return error::unknown_feature;
    return result;
}

}  // namespace tavo
