// Shared set-up of the chip tests: a freshly powered-up chip without a
// firmware upgrade, on a clock running 100 times faster.
#pragma once

#include <gtest/gtest.h>

#include <chrono>

#include "LogCapture.h"
#include "OSWrap.h"
#include "TopChip.h"
#include "topDrvAdapIf.h"

namespace chiptest {

// The configuration the flow adapter passes.
constexpr unsigned long kOwnIp = 0xC0A8FF66;
constexpr unsigned long kNetmask = 0xFFFFFFFC;
constexpr unsigned long kGateway = 0xC0A8FF65;
constexpr unsigned long kMaster = 0x0A000001;
constexpr double kScale = 100;

using Clock = std::chrono::steady_clock;

// Real time a protocol duration takes at kScale.
inline Clock::duration real(double protocolSeconds) {
    return std::chrono::duration_cast<Clock::duration>(std::chrono::duration<double>(protocolSeconds / kScale));
}

// The value of a query that must succeed.
inline uint32_t query(int (*fn)(uint32_t*)) {
    uint32_t v = 0xdead;
    EXPECT_EQ(0, fn(&v));
    return v;
}

inline uint32_t state() { return query(topDrvAdapIf_getStateInfo); }

inline bool waitForState(uint32_t wanted) {
    return testsupport::waitUntil([&] { return state() == wanted; });
}

// `upgrading` polls answer the firmware upgrade, the next one a chip not started.
inline void expectUpgradePolls(unsigned upgrading) {
    for (unsigned i = 0; i < upgrading; ++i) EXPECT_EQ(uint32_t{TOP_FW_UPGRADING}, state()) << "poll " << i;
    EXPECT_EQ(uint32_t{TOP_DRV_NOT_STARTED}, state());
}

inline int initChip(unsigned long master = kMaster, int logMeanSync = -4) {
    return topDrvAdapIf_init(kOwnIp, kNetmask, kGateway, master, logMeanSync, 0);
}

class ChipTest : public ::testing::Test {
protected:
    void SetUp() override {
        OSWrap::setTimeScale(kScale);
        cfg.fwUpgradePolls = 0;
        cfg.fwUpgradeSeconds = 0;
        topdrv::control().powerUp(cfg);
    }
    void TearDown() override { OSWrap::setTimeScale(1); }

    topdrv::Chip& chip() { return topdrv::control(); }

    void powerUp() { chip().powerUp(cfg); }

    // Configured and running, started without delay.
    void runChip() {
        chip().setStartupSeconds(0);
        ASSERT_EQ(0, initChip());
        ASSERT_TRUE(waitForState(TOP_DRV_RUNNING));
        chip().setStartupSeconds(cfg.startupSeconds);
    }

    topdrv::Config cfg;
};

}  // namespace chiptest
