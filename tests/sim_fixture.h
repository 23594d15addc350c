// A fresh simulated machine on virtual time for every test, and a check that the test left no
// interface or event behind.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>

#include "standin_control.h"

inline standin::scenario virtual_card() {
    standin::scenario s;
    s.clock = standin::time_base::virtual_;
    return s;
}

inline standin::fault fail_call(standin::call c, std::uint32_t nth, bool always = false) {
    standin::fault f;
    f.target = c;
    f.nth = nth;
    f.always = always;
    return f;
}

inline standin::fault fail_call_with(standin::call c, std::uint32_t nth, std::int32_t result,
                                     bool always = false) {
    standin::fault f = fail_call(c, nth, always);
    f.has_result = true;
    f.result = result;
    return f;
}

constexpr std::int64_t ms_ns = 1000000;

class sim_test : public ::testing::Test {
protected:
    void SetUp() override { standin::start(virtual_card()); }
    void TearDown() override {
        standin::stats s = standin::get_stats();
        EXPECT_EQ(s.live_interfaces, 0) << "an interface was not released";
        EXPECT_EQ(s.live_events, 0) << "an event was not closed";
    }
    // Starts again with the scenario the test wants.
    static void use(const standin::scenario& s) { standin::start(s); }
};
