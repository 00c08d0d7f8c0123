// Shared message buffers and the CPU limit of a control group: no sockets,
// so these also run in the emulated 32-bit big-endian build. (The actor
// identity: OrbUnitTest.)
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <cstdlib>
#include <fstream>
#include <thread>
#include <vector>

#include "LogCapture.h"
#include "PollGate.h"
#include "Transport.h"

using Transport::AddressedMessage;
using Transport::TerminationId;

TEST(AddressedMessage, CopiesShareOneZeroedBufferAndTheLastOneFreesIt) {
    AddressedMessage a = AddressedMessage::create(10, 4);
    EXPECT_EQ(std::vector<unsigned char>(10, 0), std::vector<unsigned char>(a.rawBuf(), a.rawBuf() + a.rawSize()));
    {
        AddressedMessage b(a), c;
        c = b;
        c.rawBuf()[3] = 0x5A;
        b.setDestination(TerminationId(0x22ul));
        AddressedMessage& self = c;
        c = self;
        EXPECT_EQ(3u, a.shareCount());
    }
    EXPECT_EQ(0x5A, a.rawBuf()[3]);
    EXPECT_EQ(0x22ul, a.destination().value());

    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t)
        threads.emplace_back([&a] {
            for (int i = 0; i < 20000; ++i) {
                AddressedMessage x(a), y;
                y = x;
            }
        });
    for (auto& t : threads) t.join();
    EXPECT_EQ(1u, a.shareCount()) << "concurrent copies keep the count exact";
}

// The receiving thread never looks for frames in a control group allowed
// less than two CPUs: the quota is the tightest along the process's path, in
// whichever hierarchy holds the cpu controller, read where it is mounted.
TEST(PollGate, TheCpuLimitOfAControlGroupIsTheTightestQuotaAlongItsPathInEitherHierarchy) {
    char tmpl[] = "/tmp/pollgate-XXXXXX";
    std::string const root = ::mkdtemp(tmpl);
    auto put = [&](std::string const& file, std::string const& text) {
        for (size_t at = 1; (at = file.find('/', at)) != std::string::npos; ++at)
            ::mkdir((root + file.substr(0, at)).c_str(), 0700);
        std::ofstream(root + file) << text;
    };
    put("/v2/a/cpu.max", "150000 100000\n");
    put("/v2/a/b/cpu.max", "max 100000\n");
    put("/v1/cpu.cfs_quota_us", "-1\n");
    put("/v1/inner/cpu.cfs_quota_us", "50000\n");
    put("/v1/inner/cpu.cfs_period_us", "100000\n");
    std::string const v2 = "41 31 0:38 / " + root + "/v2 rw,relatime - cgroup2 cgroup2 rw\n";
    std::string const v1 = "32 31 0:29 /docker/x " + root + "/v1 rw,relatime - cgroup cgroup rw,cpu,cpuacct\n";
    std::string const other = "35 31 0:32 / " + root + "/mem rw,relatime - cgroup cgroup rw,memory\n";
    struct Case {
        char const* what;
        std::string cgroup, mountinfo;
        double limit;
    } const cases[] = {
        {"v2: a parent's quota", "0::/a/b\n", v2, 1.5},
        {"v1 under a container's root", "4:cpu,cpuacct:/docker/x/inner\n0::/a/b\n", v1 + other, 0.5},
        {"both: the tighter", "4:cpu,cpuacct:/docker/x/inner\n0::/a/b\n", other + v2 + v1, 0.5},
        {"v2 group without a quota", "0::/c\n", v2, 0},
        {"outside what is mounted", "4:cpu,cpuacct:/elsewhere/inner\n", v1, 0},
        {"no cpu hierarchy", "5:memory:/a\n", other, 0},
    };
    for (Case const& c : cases) EXPECT_DOUBLE_EQ(c.limit, Transport::pollgate::cgroupCpuLimit(c.cgroup, c.mountinfo)) << c.what;
    EXPECT_EQ(0, std::system(("rm -rf " + root).c_str()));
}
