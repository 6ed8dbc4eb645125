// Positions as users write them: the forms, the rounding, and every refusal
// with the option's name in it.
#include <gtest/gtest.h>

#include <stdexcept>
#include <string>

#include "kelvo/position.hpp"

namespace {

struct Accepted {
    const char* text;
    bool is_time;
    std::int64_t value;
};

TEST(Position, AcceptedForms) {
    const Accepted cases[] = {
        {"0", false, 0},
        {"120", false, 120},
        {"00012", false, 12},
        {"2.5s", true, 2'500'000},
        {"1500ms", true, 1'500'000},
        {"1.5e3ms", true, 1'500'000},
        {"250000us", true, 250'000},
        {"2.5us", true, 3},  // halves round away from zero
        {"0.4us", true, 0},
        {".5s", true, 500'000},
        {"0s", true, 0},
        {"1e-400s", true, 0},  // below a double's range: zero, not an error
        {"4000000000000000000us", true, 4'000'000'000'000'000'000},
        {"9223372036854775807", false, INT64_MAX},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.text);
        const kelvo::Position p = kelvo::parse_position(c.text, "--start");
        EXPECT_EQ(p.is_time, c.is_time);
        EXPECT_EQ(p.value, c.value);
        EXPECT_EQ(p.text, c.text);
    }
}

TEST(Position, RefusalsNameTheOptionAndSayWhy) {
    const std::pair<const char*, const char*> cases[] = {
        {"-1", "--end must not be negative; got -1"},
        {"-1s", "--end must not be negative; got -1s"},
        {"1e300s", "--end must be at most 4611686018427387903 us; got '1e300s'"},
        {"1e400s", "--end must be at most 4611686018427387903 us; got '1e400s'"},
        {"4611686018427387904us", "--end must be at most 4611686018427387903 us"},
        {"infs", "--end must be at most 4611686018427387903 us; got 'infs'"},
        {"nans", "--end expects a frame index (120) or a time with its unit"},
        {"", "--end expects a frame index"},
        {"s", "--end expects a frame index"},
        {"1h", "--end expects a frame index"},
        {"2.5", "--end expects a frame index"},
        {"12 s", "--end expects a frame index"},
        {"9223372036854775808", "--end expects a frame index"},
        {"1.5e3", "--end expects a frame index"},
    };
    for (const auto& [text, message] : cases) {
        SCOPED_TRACE(text);
        try {
            kelvo::parse_position(text, "--end");
            ADD_FAILURE() << "accepted";
        } catch (const std::invalid_argument& e) {
            EXPECT_NE(std::string(e.what()).find(message), std::string::npos) << e.what();
        }
    }
}

}  // namespace
