#pragma once

#include <gtest/gtest.h>

#include "harness.h"

// In-process scenarios start from a quiet configuration block and no recorded stops.
class debugger_test : public ::testing::Test {
protected:
    void SetUp() override {
        __tavo_config = {TAVO_CONFIG_VERSION, 0, 0, 0};
        scenario::set_debugger_action(nullptr);
        poll();
        scenario::clear_stops();
    }
    void TearDown() override { scenario::set_debugger_action(nullptr); }

    // Any gated entry applies a pending request; this one does nothing else while re is off.
    static void poll() { _TAVO_leaveFunction(nullptr, nullptr); }
    static void request(std::uint32_t bits) {
        __tavo_config.request |= bits;
        poll();
    }
};
