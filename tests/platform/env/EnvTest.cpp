#include <gtest/gtest.h>

#include <fstream>
#include <string>


#include <cstdlib>
#include <cstring>
#include <vector>

#include "Env.h"
#include "EnvVars.h"
#include "LogCapture.h"

using testsupport::countRecords;

TEST(Env, MemoryFiguresAreInKiBAndFollowTheProcessAndTheHost) {
    int before = oscwGetActorSize();
    ASSERT_GT(before, 0);
    size_t const bytes = 64u << 20;
    std::vector<char> block(bytes);
    std::memset(block.data(), 0x5a, bytes);
    int after = oscwGetActorSize();
    // 64 MiB resident more, give or take what the allocator and the kernel do.
    EXPECT_GE(after - before, 48 * 1024) << "before " << before << " KiB, after " << after << " KiB";
    EXPECT_EQ(0x5a, block[bytes / 2]);

    int freeKiB = oscwGetUnitFreeMem();
    ASSERT_GT(freeKiB, 0);
    // The host's total from /proc/meminfo: sysinfo() is truncated for a
    // 32-bit process under user-mode emulation.
    std::ifstream meminfo("/proc/meminfo");
    std::string key;
    uint64_t totalKiB = 0;
    while (meminfo >> key && key != "MemTotal:") meminfo.ignore(256, '\n');
    ASSERT_TRUE(meminfo >> totalKiB);
    EXPECT_LE(static_cast<uint64_t>(freeKiB), totalKiB);
}

TEST(Env, TimingOverPacketSupportFollowsTheEnvironment) {
    struct {
        char const* value;
        int supported;
    } const cases[] = {{nullptr, 1}, {"0", 0}, {"1", 1}, {"no", 1}};
    for (auto const& c : cases) {
        if (c.value) setenv("TOPADAPTER_TOP_SUPPORTED", c.value, 1);
        EXPECT_EQ(c.supported, envInfoTimingOverPacketSupported()) << (c.value ? c.value : "unset");
    }
    EXPECT_EQ(1u, countRecords("TOPADAPTER_TOP_SUPPORTED=no ignored"));
    unsetenv("TOPADAPTER_TOP_SUPPORTED");
}

TEST(Env, Ml2DrvCifInitRecordsItsCallsAndFailsWhenTold) {
    cardenv::resetMl2DrvCif();
    unsetenv("TOPADAPTER_ML2DRVCIF_FAIL");
    EXPECT_EQ(0, ml2DrvCif_init(123));
    EXPECT_EQ(123, cardenv::ml2DrvCifLastTaskId());
    setenv("TOPADAPTER_ML2DRVCIF_FAIL", "7", 1);
    EXPECT_EQ(7, ml2DrvCif_init(124));
    EXPECT_EQ(124, cardenv::ml2DrvCifLastTaskId());
    unsetenv("TOPADAPTER_ML2DRVCIF_FAIL");
    EXPECT_EQ(-1, ml2DrvCif_init(0));
    EXPECT_EQ(1u, countRecords("ml2DrvCif_init refused: task id 0"));
    EXPECT_EQ(3u, cardenv::ml2DrvCifInitCalls());
}

TEST(EnvVars, ParsersTakeWholeNumbersWithinTheirRangeOnly) {
    struct {
        char const* text;
        int64_t min, max, value;
    } const good[] = {{"42", 0, 100, 42}, {"0x10", 0, 100, 16}, {"-7", -10, 10, -7},
                      {"4294967295", 0, UINT32_MAX, 4294967295LL}};
    int64_t i = 0;
    for (auto const& g : good) {
        EXPECT_TRUE(platform::parseInt64(g.text, g.min, g.max, &i)) << g.text;
        EXPECT_EQ(g.value, i) << g.text;
    }
    i = 5;
    for (char const* bad : {"", "12x", " ", "101", "-11", "1.5", "99999999999999999999"})
        EXPECT_FALSE(platform::parseInt64(bad, -10, 100, &i)) << bad;
    EXPECT_EQ(5, i);

    uint64_t u = 0;
    EXPECT_TRUE(platform::parseUint64("18446744073709551615", &u));
    EXPECT_EQ(UINT64_MAX, u);
    EXPECT_FALSE(platform::parseUint64("-1", &u));
    EXPECT_FALSE(platform::parseUint64("", &u));

    double d = 0;
    EXPECT_TRUE(platform::parseDouble("2.5", 0, 10, &d));
    EXPECT_DOUBLE_EQ(2.5, d);
    for (char const* bad : {"", "nan", "inf", "2.5s", "11", "-0.1"})
        EXPECT_FALSE(platform::parseDouble(bad, 0, 10, &d)) << bad;
}

TEST(EnvVars, MalformedVariablesAreNamedInAWarningAndTheDefaultIsUsed) {
    setenv("TOPADAPTER_TEST_VALUE", "3", 1);
    EXPECT_EQ(3, platform::envInt64("TOPADAPTER_TEST_VALUE", 9, 0, 5));
    EXPECT_DOUBLE_EQ(3.0, platform::envDouble("TOPADAPTER_TEST_VALUE", 9, 0, 5));
    setenv("TOPADAPTER_TEST_VALUE", "6", 1);
    EXPECT_EQ(9, platform::envInt64("TOPADAPTER_TEST_VALUE", 9, 0, 5));
    setenv("TOPADAPTER_TEST_VALUE", "three", 1);
    EXPECT_DOUBLE_EQ(9.0, platform::envDouble("TOPADAPTER_TEST_VALUE", 9, 0, 5));
    EXPECT_EQ(9u, platform::envUint64("TOPADAPTER_TEST_VALUE", 9));
    EXPECT_EQ(3u, countRecords("TOPADAPTER_TEST_VALUE="));
    setenv("TOPADAPTER_TEST_VALUE", "", 1);
    EXPECT_EQ(9, platform::envInt64("TOPADAPTER_TEST_VALUE", 9, 0, 5));
    EXPECT_EQ("d", platform::envString("TOPADAPTER_TEST_VALUE", "d"));
    EXPECT_EQ(3u, countRecords("TOPADAPTER_TEST_VALUE="));
    unsetenv("TOPADAPTER_TEST_VALUE");
}
