// The reading of settings. (The card environment's memory figures only reach
// the ORB's display; the task calls the driver control interface once at
// start-up, without looking at the result: the task's process test sees the call.)
#include <gtest/gtest.h>

#include <cstdlib>
#include <string>
#include <vector>

#include "EnvVars.h"
#include "LogCapture.h"

using testsupport::countRecords;

TEST(EnvVars, OnlyWholeNumbersWithinRangeAreTakenAndOthersAreNamedInAWarning) {
    struct {
        char const* text;
        int64_t min, max, value;  // value -1: rejected
    } const ints[] = {{"42", 0, 100, 42},   {"0x10", 0, 100, 16}, {"-7", -10, 10, -7},
                      {"4294967295", 0, UINT32_MAX, UINT32_MAX}, {"", 0, 100, -1},   {"12x", 0, 100, -1},
                      {" ", 0, 100, -1},    {"101", 0, 100, -1},  {"-11", -10, 0, -1}, {"1.5", 0, 100, -1},
                      {"99999999999999999999", 0, 100, -1}};
    for (auto const& c : ints) {
        int64_t i = -1;
        EXPECT_EQ(c.value != -1, platform::parseInt64(c.text, c.min, c.max, &i)) << c.text;
        EXPECT_EQ(c.value, i) << c.text;
    }
    uint64_t u = 0;
    EXPECT_TRUE(platform::parseUint64("18446744073709551615", &u) && u == UINT64_MAX);
    EXPECT_FALSE(platform::parseUint64("-1", &u) || platform::parseUint64("", &u));
    double d = 0;
    EXPECT_TRUE(platform::parseDouble("2.5", 0, 10, &d) && d == 2.5);
    for (char const* bad : {"", "nan", "inf", "2.5s", "11", "-0.1"})
        EXPECT_FALSE(platform::parseDouble(bad, 0, 10, &d)) << bad;

    // Out of range, malformed or empty: the default, with a warning naming the variable unless empty.
    for (auto const& c : std::vector<std::pair<char const*, int64_t>>{{"3", 3}, {"6", 9}, {"three", 9}, {"", 9}}) {
        setenv("TOPADAPTER_TEST_VALUE", c.first, 1);
        EXPECT_EQ(c.second, platform::envInt64("TOPADAPTER_TEST_VALUE", 9, 0, 5)) << c.first;
        EXPECT_DOUBLE_EQ(double(c.second), platform::envDouble("TOPADAPTER_TEST_VALUE", 9, 0, 5)) << c.first;
    }
    EXPECT_EQ(4u, countRecords("TOPADAPTER_TEST_VALUE="));
    EXPECT_EQ("d", platform::envString("TOPADAPTER_TEST_VALUE", "d"));
    unsetenv("TOPADAPTER_TEST_VALUE");
}
