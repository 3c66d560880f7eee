// The log lines of an event: status, dumps, detections in two forms, errors.
#include <iostream>

#include "runtime/errors.h"
#include "runtime/log.h"

namespace tavo {

namespace {

const char* status_message(std::int32_t reason) {
    switch (reason) {
    case 0: return "tavo: ok";
    case 1: return "tavo: library loaded";
    case 2: return "tavo: library unloaded";
    case 3: return "tavo: configuration updated";
    case 4: return "tavo: how are you?";
    default: return nullptr;
    }
}

const char* task_type_name(std::uint32_t type) {
    switch (type) {
    case 1: return "initial task";
    case 2: return "openmp task";
    case 3: return "native thread";
    default: return "?";
    }
}

const char* access_type_name(std::uint32_t type) {
    switch (type) {
    case 0: return "read";
    case 1: return "written";
    case 2: return "updated";
    case 3: return "atomically updated";
    default: return "?";
    }
}

// A list the detector left null is written as empty rather than read.
std::uint64_t listed(const void* list, std::uint64_t count) { return list == nullptr ? 0 : count; }

void write_descriptor_line(std::ostream& stream, const tavo_access_t& access) {
    stream << "  object(base): 0x" << hex(access.address) << ", " << access.size << " bytes "
           << access_type_name(access.access_type) << " by " << task_type_name(access.task_type) << ' '
           << access.task_id << " at address 0x" << hex(access.code_address) << std::endl;
}

void write_short_item(std::ostream& stream, const tavo_access_t& access) {
    stream << '(' << static_cast<std::int32_t>(access.task_type) << '.' << access.task_id << ' '
           << (access.access_type == 0 ? 'r' : 'w') << " 0x" << hex(access.address) << '+' << access.size
           << " @ 0x" << hex(access.code_address) << ')';
}

}  // namespace

void write_event() noexcept {
    std::ostream& stream = log_stream();
    const std::int32_t reason = __tavo_event_reason;
    const tavo_detection_t& detection = __tavo_current_detection;
    const auto& sharing = detection.sharing;
    const auto& reentrancy = detection.reentrancy;
    const std::uint64_t offended_count = listed(sharing.offended, sharing.offended_count);
    const std::uint64_t offense_count = listed(reentrancy.offenses, reentrancy.offense_count);

    stream << std::dec;
    if (logging(log_family::status)) {
        if (const char* message = status_message(reason)) stream << message << std::endl;
    }
    if (logging(log_family::dumps)) {
        write_dump_line(stream, "__tavo_event_reason", &__tavo_event_reason, sizeof __tavo_event_reason);
        if (reason == TAVO_EVENT_DATA_SHARING) {
            write_dump_line(stream, "__tavo_current_detection", &detection, sizeof detection);
            write_dump_line(stream, "offended", sharing.offended, offended_count * sizeof(tavo_access_t));
        } else if (reason == TAVO_EVENT_REENTRANT_CALL) {
            write_dump_line(stream, "__tavo_current_detection", &detection, sizeof detection);
            write_dump_line(stream, "offenses", reentrancy.offenses, offense_count * sizeof(tavo_offense_t));
        }
    }
    if (logging(log_family::detection_long)) {
        if (reason == TAVO_EVENT_DATA_SHARING) {
            stream << "tavo: data sharing detected" << std::endl;
            write_descriptor_line(stream, sharing.offending);
            for (std::uint64_t index = 0; index < offended_count; ++index)
                write_descriptor_line(stream, sharing.offended[index]);
        } else if (reason == TAVO_EVENT_REENTRANT_CALL) {
            stream << "tavo: reentrant call detected" << std::endl;
            stream << "  function: 0x" << hex(reentrancy.function) << std::endl;
            for (std::uint64_t index = 0; index < offense_count; ++index) {
                const tavo_offense_t& offense = reentrancy.offenses[index];
                stream << "  " << task_type_name(offense.task_type) << ' ' << offense.task_id << '\n';
            }
        }
    }
    if (logging(log_family::detection_short)) {
        if (reason == TAVO_EVENT_DATA_SHARING) {
            stream << "tsm: ";
            write_short_item(stream, sharing.offending);
            for (std::uint64_t index = 0; index < offended_count; ++index) {
                stream << ", ";
                write_short_item(stream, sharing.offended[index]);
            }
            stream << std::endl;
        } else if (reason == TAVO_EVENT_REENTRANT_CALL) {
            stream << "re (" << hex(reentrancy.function) << "): ";
            for (std::uint64_t index = 0; index < offense_count; ++index) {
                const tavo_offense_t& offense = reentrancy.offenses[index];
                stream << (index == 0 ? "(" : ", (") << static_cast<std::int32_t>(offense.task_type) << '.'
                       << offense.task_id << ')';
            }
            stream << std::endl;
        }
    }
    if (logging(log_family::errors) && reason < 0) {
        if (const char* message = error_message(reason)) stream << message << std::endl;
        else stream << "tavo: internal error " << reason << std::endl;
    }
}

}  // namespace tavo
