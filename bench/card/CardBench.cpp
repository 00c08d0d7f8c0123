// One simulated card (membership service, model actor, task on its chip):
// the task's own overhead on its two paths from the model to the chip and
// from the chip to the model, with the specified waits taken out.
//
// - creation: from ModelControl::createFlow (an unlocked flow with a master
//   address) until the chip reports that master address configured. Nothing
//   is specified to wait on this path: all of it is overhead.
// - lock loss: from the moment the task's condition poll saw the lost lock
//   (the timestamp of its "Detect: Raise syncSourceLost" record) until the
//   model has the alarm, minus the 2-second raise delay. The wait for the
//   next 10-second poll is specified, so it is left out too.
// - trigger: ModelControl::triggerPerformance with command 8 for the five
//   counters of a running flow, then ModelControl::getPerformance seeing the
//   answer (the task's pre-observation answers with setAdapterData before the
//   trigger completes), as a ratio of one plain call (getPerformance alone).
//
// Usage: card_bench [rounds, default 10] [time scale, default 1]
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>

#include <cstdio>
#include <cstdlib>
#include <fstream>
#include <string>
#include <thread>
#include <vector>

#include "BenchUtil.h"
#include "ChipControl.h"
#include "ModelControlClient.h"
#include "REFLECT_orb.h"


namespace {

using namespace bench;

std::string chipState(pid_t task) {
    std::string reply, error;
    topdrv::sendControlCommand(topdrv::controlSocketPath(task), "state", &reply, &error);
    return reply;
}

size_t raises(ModelControlClient const& control, unsigned long key) {
    RunPermissionGuard g;
    TipprmiSequence<ModelControlClient::AlarmRecord> all = control.getAlarms();
    size_t n = 0;
    for (unsigned long i = 0; i < all.getLength(); ++i)
        if (all[i].key == key && all[i].condition == 1 && all[i].raise) ++n;
    return n;
}

}  // namespace

int main(int argc, char** argv) {
    unsigned const rounds = argc > 1 ? unsigned(std::atoi(argv[1])) : 10;
    double const scale = argc > 2 ? std::atof(argv[2]) : 1.0;
    if (rounds < 1 || scale < 1) {
        std::fprintf(stderr, "usage: card_bench [rounds >= 1] [time scale >= 1]\n");
        return 1;
    }
    Node node;
    if (!node.start()) return 1;
    std::string const bin = std::string(BENCH_BIN_DIR) + "/", taskLog = std::string(std::getenv("TOPADAPTER_NODE_DIR")) + "/task.log";
    std::string const scaleEnv = "TOPADAPTER_TIME_SCALE=" + std::to_string(scale);
    pid_t model = spawn(bin + "topmodel", {}, {"TOPADAPTER_ACTOR=topmodel", scaleEnv});
    pid_t task = spawn(bin + "topAdapter", {},
                       {"TOPADAPTER_ACTOR=topAdapter", scaleEnv, "TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0",
                        "TOPADAPTER_TOPDRV_STARTUP_SECONDS=0", "TOPADAPTER_TOPDRV_LOCK_SECONDS=0", "TOPADAPTER_UNIT=1",
                        "TOPADAPTER_QUIET=0", "TOPADAPTER_LOG_FILE=" + taskLog});
    ::setenv("TOPADAPTER_NAME_ID", "0x0C01", 1);
    Transport::IdInfo::instance().reload();
    TreflectORB::getInstance(NSID_UNIT);
    ModelControlClient* control;
    {
        RunPermissionGuard g;
        control = new ModelControlClient(TipprmiOID(ModelControlClient::NAME));
    }
    bool const up = waitFor([&] { return chipState(task).find("ok state=") == 0; }, 30) &&
                    waitFor([&] {
                        RunPermissionGuard g;
                        return control->isConnected() || (control->connect(TipprmiOID(ModelControlClient::NAME)), false);
                    }, 30);
    if (!up) {
        std::fprintf(stderr, "the card did not come up\n");
        return 1;
    }

    std::vector<double> creation, alarm, trigger, plain;
    TipprmiSequence<unsigned long> five;
    for (unsigned long i = 1; i <= 5; ++i) five.push_back(i);
    for (unsigned r = 0; r < rounds; ++r) {
        unsigned long const key = 100 + r;
        TipprmiArray<short, 4> master;
        master[0] = 10, master[1] = 0, master[2] = 1, master[3] = short(r + 1);
        char want[40];
        std::snprintf(want, sizeof want, "master=0x0a0001%02x", r + 1);
        auto t0 = Clock::now();
        {
            RunPermissionGuard g;
            control->createFlow(key, 1, 1, master);
        }
        if (!waitFor([&] { return chipState(task).find(want) != std::string::npos; }, 30)) break;
        creation.push_back(usSince(t0) / 1000);

        // The driver runs (no start-up or lock delay): lose the lock.
        if (!waitFor([&] { return chipState(task).find("state=0") != std::string::npos; }, 30)) break;

        auto performance = [&] {
            RunPermissionGuard g;
            return control->getPerformance(key);
        };
        if (!waitFor([&] { return performance().triggerObservers == 1; }, 30)) break;
        for (int i = 0; i < 20; ++i) {
            unsigned long const answers = performance().answers;
            auto t = Clock::now();
            {
                RunPermissionGuard g;
                control->triggerPerformance(key, five, 8);
            }
            ModelControlClient::PerformanceRecord const p = performance();
            trigger.push_back(usSince(t));
            if (p.answers != answers + 1 || p.adapterData.getLength() != 5) break;
            t = Clock::now();
            performance();
            plain.push_back(usSince(t));
        }
        if (trigger.size() != plain.size()) break;
        size_t const before = raises(*control, key);
        std::string reply, error;
        topdrv::sendControlCommand(topdrv::controlSocketPath(task), "lock 0", &reply, &error);
        if (!waitFor([&] { return raises(*control, key) > before; }, 60 / scale + 30)) break;
        double const arrived = recordTimeOfDay();
        double const detected = lastRecordTime(taskLog, "Detect: Raise syncSourceLost");
        alarm.push_back((arrived - detected - 2.0 / scale) * 1000);
        topdrv::sendControlCommand(topdrv::controlSocketPath(task), "lock auto", &reply, &error);
        {
            RunPermissionGuard g;
            control->deleteFlow(key);
        }
        if (!waitFor([&] { return chipState(task).find("state=6") != std::string::npos; }, 30)) break;
    }
    ::kill(task, SIGKILL);
    ::kill(model, SIGKILL);
    ::waitpid(task, nullptr, 0);
    ::waitpid(model, nullptr, 0);
    if (creation.size() < rounds || alarm.size() < rounds || plain.size() < 20 * rounds) {
        std::fprintf(stderr, "only %zu of %u rounds completed\n", alarm.size(), rounds);
        return 1;
    }
    Stats c = stats(creation), a = stats(alarm);
    std::printf("one card, time scale %g, %u rounds\n", scale, rounds);
    std::printf("  flow created at the model -> chip configured         median %7.2f ms  max %7.2f ms\n", c.median,
                *std::max_element(creation.begin(), creation.end()));
    std::printf("  lock loss seen by the poll -> alarm at the model,\n");
    std::printf("    less the %g s raise delay                            median %7.2f ms  max %7.2f ms\n",
                2.0 / scale, a.median, *std::max_element(alarm.begin(), alarm.end()));
    Stats t = stats(trigger), p = stats(plain);
    std::printf("  trigger (command 8, 5 counters) -> answer at the model median %7.1f us  = %.1f plain calls"
                " (median %.1f us)\n",
                t.median, t.median / p.median, p.median);
    return 0;
}
