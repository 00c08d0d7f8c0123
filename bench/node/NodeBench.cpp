// A node of many cards on this host: the membership service, one model actor
// and one task per card (distinct slot, unit, actor name and simulated chip).
//
// 1. Burst of creations: the model creates the flows one after the other, one
//    on each card's unit spread evenly over the burst (the last card's flow is
//    the last creation), the rest on units without a task; all unlocked with a
//    master address. Measured: the time until every card's chip runs with its
//    master configured (polled through the chips' control channels, confirmed
//    by the model's drvInitStatus), against the remote calls made meanwhile
//    (read from the ORB performance counters of every task and the model, reset
//    just before the burst) costed at one plain ORB call round trip to the
//    model measured before the burst. The model's createFlow answers only when
//    every subscribed task's ORB has answered its creation notification, and a
//    task answers after its creation observer has run: when the last
//    createFlow returns, every notification has been delivered.
// 2. Steady state: resident memory and threads (by name) of every task, and
//    the CPU time of the whole node while nothing changes.
// 3. The operator's view: topctl's "flow KEY" and "metrics" run as an
//    operator runs them; each reports its remote calls and the sum of their
//    round trips (--timing), so the command's own time is a ratio of that sum
//    measured in the same run, beside the plain ORB call above.
//    The exporter (topctl metrics --listen) on the same node: a scrape that
//    reads the card against one that is served the last reading and against
//    the one-shot metrics command; then its resident memory and CPU while
//    it is scraped every 15 seconds (real time) for the given time.
// 4. Lock loss on every card at once: the time from the moment the last
//    alarm became due (its task's condition poll saw the loss, the time of
//    its "Detect: Raise" record, plus the specified 2-second raise delay)
//    until the model has all of them. The wait for each task's next
//    10-second poll and the raise delay are specified, so they are left out.
//
// Usage: node_bench [time scale, default 1] [cards, default 32] [flows, default 2000] [idle seconds, default 10]
//                   [seconds of 15-second scrapes of the exporter, default 60]
#include <dirent.h>
#include <signal.h>
#include <spawn.h>
#include <sys/time.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <httplib.h>
#include <netinet/in.h>
#include <sys/socket.h>

#include "BenchUtil.h"
#include "ChipControl.h"
#include "IPPRMI_objectSkeleton.h"
#include "ModelControlClient.h"
#include "REFLECT_orb.h"


namespace {

using namespace bench;

constexpr unsigned short kTaskNameId = 0x0B00, kModelNameId = 0x0C02, kBenchNameId = 0x0C01;
constexpr unsigned long kFirstSpareUnit = 1000;

struct Card {
    pid_t pid = 0;
    unsigned unit = 0;
    unsigned long key = 0;
    std::string log;
    Transport::TerminationId term;
    double upMs = -1;
    double alarmAt = -1;  // seconds since midnight (UTC), as log records print it
};

std::string chip(pid_t task, char const* command) {
    std::string reply, error;
    topdrv::sendControlCommand(topdrv::controlSocketPath(task), command, &reply, &error);
    return reply;
}

// ---- /proc ----

std::string procFile(pid_t pid, std::string const& name) {
    std::ifstream in("/proc/" + std::to_string(pid) + "/" + name);
    std::stringstream s;
    s << in.rdbuf();
    return s.str();
}

long vmRssKiB(pid_t pid) {
    std::string const status = procFile(pid, "status");
    size_t at = status.find("VmRSS:");
    return at == std::string::npos ? -1 : std::atol(status.c_str() + at + 6);
}

// utime + stime in clock ticks.
long long cpuTicks(pid_t pid) {
    std::string const stat = procFile(pid, "stat");
    size_t at = stat.rfind(')');
    if (at == std::string::npos) return 0;
    std::istringstream in(stat.substr(at + 2));
    std::string field;
    long long utime = 0, stime = 0;
    for (int i = 3; i <= 15 && in >> field; ++i) {
        if (i == 14) utime = std::atoll(field.c_str());
        if (i == 15) stime = std::atoll(field.c_str());
    }
    return utime + stime;
}

// Thread names and their counts, e.g. "ReflectWorker x5".
std::map<std::string, unsigned> threadNames(pid_t pid) {
    std::map<std::string, unsigned> names;
    std::string const dir = "/proc/" + std::to_string(pid) + "/task";
    if (DIR* d = ::opendir(dir.c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string comm;
            std::ifstream(dir + "/" + e->d_name + "/comm") >> comm;
            ++names[comm];
        }
        ::closedir(d);
    }
    return names;
}

// ---- the model ----

// Smallest call the model's control object serves (class code 0).
bool plainCall(TreflectORB::TreflectObjectLocation const& where) {
    TipprmiStream request(100), response(100);
    request << where.getInternalOID() << true << 0ul << static_cast<unsigned long>(TipprmiObjectSkeleton::kGetExceptionContainer);
    if (!TreflectORB::getInstance(NSID_UNIT)->forwardMsg(where.orbId(), true, request, response)) return false;
    TipprmiExceptionContainer status, stored;
    response >> status >> stored;
    return status.getExceptionType() == 0;
}

// Messages sent by the ORB of `t` since the last reading (read and reset there).
unsigned long sentBy(Transport::TerminationId const& t, Transport::TerminationId const* to = nullptr) {
    RunPermissionGuard g;
    TreflectORB::PerfCntInfo info = TreflectORB::getInstance(NSID_UNIT)->getPerfCnts(t);
    unsigned long n = 0;
    for (unsigned long i = 0; i < info.counters.getLength(); ++i)
        if (!to || info.counters[i].termId == *to) n += info.counters[i].sent;
    return n;
}

int freePort() {
    int fd = ::socket(AF_INET, SOCK_STREAM, 0);
    sockaddr_in a{};
    a.sin_family = AF_INET;
    a.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t size = sizeof a;
    int port = ::bind(fd, reinterpret_cast<sockaddr*>(&a), size) == 0 &&
                       ::getsockname(fd, reinterpret_cast<sockaddr*>(&a), &size) == 0
                   ? ntohs(a.sin_port)
                   : 0;
    ::close(fd);
    return port;
}

// The exporter on its own port; its scrapes, timed in ms (-1: no answer).
struct Exporter {
    Exporter(std::string const& bin, std::string const& interval, unsigned nameId) : port(freePort()), http("127.0.0.1", port) {
        pid = spawn(bin + "topctl", {"metrics", "--listen", "127.0.0.1:" + std::to_string(port), "--interval", interval},
                    {"TOPADAPTER_ACTOR=topctl", "TOPADAPTER_NAME_ID=" + std::to_string(nameId)});
        http.set_read_timeout(60, 0);
        ready = waitFor([&] { return scrape() >= 0; }, 30, 20000);
    }
    // Also takes the duration of the reading it was served, in ms.
    double scrape() {
        auto t = Clock::now();
        auto res = http.Get("/metrics");
        if (!res || res->status != 200) return -1;
        double const ms = usSince(t) / 1000;
        char const* const gauge = "\ntopadapter_exporter_reading_duration_seconds ";
        size_t const at = res->body.find(gauge);
        if (at != std::string::npos) readings.push_back(std::atof(res->body.c_str() + at + std::strlen(gauge)) * 1000);
        return ms;
    }
    std::vector<double> readings;
    int port;
    httplib::Client http;
    pid_t pid = 0;
    bool ready = false;
};

void kill(std::vector<pid_t> const& pids) {
    for (pid_t p : pids)
        if (p > 0) ::kill(p, SIGKILL);
    for (pid_t p : pids)
        if (p > 0) ::waitpid(p, nullptr, 0);
}

}  // namespace

int main(int argc, char** argv) {
    double const scale = argc > 1 ? std::atof(argv[1]) : 1.0;
    unsigned const cards = argc > 2 ? unsigned(std::atoi(argv[2])) : 32;
    unsigned const flows = argc > 3 ? unsigned(std::atoi(argv[3])) : 2000;
    double const idleSeconds = argc > 4 ? std::atof(argv[4]) : 10;
    double const scrapeSeconds = argc > 5 ? std::atof(argv[5]) : 60;
    if (scale < 1 || cards < 1 || cards > 200 || flows < cards || idleSeconds <= 0 || scrapeSeconds < 15) {
        std::fprintf(stderr,
                     "usage: node_bench [time scale >= 1] [cards 1..200] [flows >= cards] [idle seconds] [scrape seconds >= 15]\n");
        return 1;
    }
    Node node;
    if (!node.start()) return 1;
    std::string const bin = std::string(BENCH_BIN_DIR) + "/", dir = std::getenv("TOPADAPTER_NODE_DIR");
    std::string const scaleEnv = "TOPADAPTER_TIME_SCALE=" + std::to_string(scale);
    Transport::GroupId const group = static_cast<Transport::GroupId>(1);
    Transport::TerminationId const modelTerm(kModelNameId, 1, group);

    std::vector<pid_t> pids;
    pid_t const model = spawn(bin + "topmodel", {},
                              {"TOPADAPTER_ACTOR=topmodel", "TOPADAPTER_NAME_ID=" + std::to_string(kModelNameId), scaleEnv});
    pids.push_back(model);
    std::vector<Card> card(cards);
    for (unsigned k = 0; k < cards; ++k) {
        Card& c = card[k];
        c.unit = k + 1;
        c.log = dir + "/task-" + std::to_string(k) + ".log";
        c.term = Transport::TerminationId(static_cast<unsigned short>(kTaskNameId + k), static_cast<unsigned char>(k + 2), group);
        c.pid = spawn(bin + "topAdapter", {},
                      {"TOPADAPTER_ACTOR=topAdapter-" + std::to_string(k), "TOPADAPTER_NAME_ID=" + std::to_string(kTaskNameId + k),
                       "TOPADAPTER_SLOT=" + std::to_string(k + 2), "TOPADAPTER_UNIT=" + std::to_string(c.unit), scaleEnv,
                       "TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0", "TOPADAPTER_TOPDRV_STARTUP_SECONDS=0",
                       "TOPADAPTER_TOPDRV_LOCK_SECONDS=0", "TOPADAPTER_QUIET=0", "TOPADAPTER_LOG_FILE=" + c.log});
        pids.push_back(c.pid);
    }
    ::setenv("TOPADAPTER_NAME_ID", std::to_string(kBenchNameId).c_str(), 1);
    Transport::IdInfo::instance().reload();
    TreflectORB::getInstance(NSID_UNIT);
    ModelControlClient* control;
    {
        RunPermissionGuard g;
        control = new ModelControlClient(TipprmiOID(ModelControlClient::NAME));
    }
    // Every task subscribed at the model (its creation and deletion
    // subscriptions are its first messages there), and the churn of the
    // tasks subscribing with each other has settled.
    std::vector<unsigned long> toModel(cards, 0);
    bool up = waitFor([&] {
        RunPermissionGuard g;
        return control->isConnected() || (control->connect(TipprmiOID(ModelControlClient::NAME)), false);
    }, 30, 10000);
    for (unsigned k = 0; up && k < cards; ++k)
        up = waitFor([&] { return (toModel[k] += sentBy(card[k].term, &modelTerm)) >= 2; }, 30, 10000);
    if (!up) {
        std::fprintf(stderr, "the node did not come up\n");
        kill(pids);
        return 1;
    }
    waitFor([&] {
        unsigned long n = 0;
        for (Card const& c : card) n += sentBy(c.term);
        return n == 0;
    }, 30, 200000);

    // One plain ORB call round trip, to the model, on the idle node.
    TreflectORB::TreflectObjectLocation where;
    {
        RunPermissionGuard g;
        where = TreflectORB::getInstance(NSID_UNIT)->locateObject(TipprmiOID(ModelControlClient::NAME));
    }
    std::vector<double> rtt;
    for (unsigned i = 0; i < 3000; ++i) {
        auto t = Clock::now();
        if (!plainCall(where)) {
            std::fprintf(stderr, "plain call to the model failed\n");
            kill(pids);
            return 1;
        }
        if (i >= 500) rtt.push_back(usSince(t));
    }
    double const callUs = medianOf(rtt);

    // ---- 1. the burst of creations ----
    for (Card const& c : card) sentBy(c.term);
    sentBy(modelTerm);
    std::vector<unsigned> cardAt(flows, cards);
    for (unsigned k = 0; k < cards; ++k) cardAt[(k + 1) * flows / cards - 1] = k;
    std::atomic<bool> allUp{false};
    auto const t0 = Clock::now();
    std::thread watcher([&] {
        unsigned left = cards;
        while (left > 0 && usSince(t0) < 600e6) {
            for (Card& c : card)
                if (c.upMs < 0 && c.key != 0 && chip(c.pid, "state").find("ok state=0 ") == 0) {
                    c.upMs = usSince(t0) / 1000;
                    --left;
                }
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        allUp = left == 0;
    });
    bool created = true;
    for (unsigned i = 0; i < flows && created; ++i) {
        unsigned const k = cardAt[i];
        unsigned long const key = i + 1;
        TipprmiArray<short, 4> master;
        master[0] = 10, master[1] = short(1 + i / 65536), master[2] = short(i / 256 % 256), master[3] = short(i % 256);
        if (k < cards) card[k].key = key;
        RunPermissionGuard g;
        created = control->createFlow(key, k < cards ? card[k].unit : kFirstSpareUnit + i, 1, master).isConnected();
    }
    double const deliveredMs = usSince(t0) / 1000;
    watcher.join();
    double upMs = 0;
    for (Card const& c : card) upMs = std::max(upMs, c.upMs);
    unsigned long taskCalls = 0, modelCalls = sentBy(modelTerm);
    for (Card const& c : card) taskCalls += sentBy(c.term);
    unsigned initialised = 0;
    {
        RunPermissionGuard g;
        TipprmiSequence<ModelControlClient::FlowState> const all = control->getFlows();
        for (unsigned long i = 0; i < all.getLength(); ++i)
            for (Card const& c : card)
                if (all[i].key == c.key && all[i].drvInitStatus) ++initialised;
    }
    if (!created || !allUp || initialised != cards) {
        std::fprintf(stderr, "burst incomplete: created %s, chips up %s, %u of %u flows with the driver up\n",
                     created ? "yes" : "no", allUp ? "yes" : "no", initialised, cards);
        kill(pids);
        return 1;
    }
    unsigned long const calls = flows + modelCalls + taskCalls;

    // ---- 2. steady state ----
    // The first cancels of the sync-source-lost conditions (3 s after adoption) have arrived.
    waitFor([&] {
        RunPermissionGuard g;
        return control->getAlarms().getLength() >= cards;
    }, 10 / scale + 10, 20000);
    std::vector<pid_t> nodePids = pids;
    nodePids.push_back(node.servicePid());
    long long ticks0 = 0;
    for (pid_t p : nodePids) ticks0 += cpuTicks(p);
    auto const i0 = Clock::now();
    std::this_thread::sleep_for(std::chrono::duration<double>(idleSeconds));
    long long ticks1 = 0;
    for (pid_t p : nodePids) ticks1 += cpuTicks(p);
    double const idleCpu = double(ticks1 - ticks0) / double(::sysconf(_SC_CLK_TCK)) / (usSince(i0) / 1e6) * 100;
    std::vector<double> rss, threads;
    std::map<std::string, unsigned> names;
    for (Card const& c : card) {
        rss.push_back(vmRssKiB(c.pid) / 1024.0);
        std::map<std::string, unsigned> const n = threadNames(c.pid);
        unsigned total = 0;
        for (auto const& e : n) total += e.second;
        threads.push_back(total);
        if (total == *std::max_element(threads.begin(), threads.end())) names = n;
    }

    // ---- 3. the operator's view ----
    struct Timing {
        std::vector<double> commandMs, callsMs;
        unsigned long calls = 0;
    };
    auto run = [&](std::string const& command, unsigned times) {
        Timing t;
        for (unsigned i = 0; i < times; ++i) {
            std::string const line = "TOPADAPTER_ACTOR=topctl TOPADAPTER_NAME_ID=" + std::to_string(0x0D00 + i) + " " +
                                     bin + "topctl --timing " + command + " 2>&1 >/dev/null";
            FILE* out = ::popen(line.c_str(), "r");
            char text[512] = {0};
            unsigned long calls = 0;
            double callsMs = 0, commandMs = 0;
            while (out && std::fgets(text, sizeof text, out))
                std::sscanf(text, "topctl: timing: %lu remote calls took %lf ms; the command %lf ms", &calls, &callsMs,
                            &commandMs);
            if (out) ::pclose(out);
            if (calls == 0) continue;
            t.calls = calls;
            t.callsMs.push_back(callsMs);
            t.commandMs.push_back(commandMs);
        }
        return t;
    };
    Timing const flowView = run("flow " + std::to_string(card[cards / 2].key), 7);
    Timing const metrics = run("metrics", 7);

    // The exporter: every scrape reads the card (interval 0), or the first of an interval does.
    std::vector<double> reading, cached, periodic, periodicReadings;
    long rss0 = 0, rss1 = 0;
    double exporterCpu = -1;
    {
        Exporter each(bin, "0", 0x0D10);
        for (unsigned i = 0; each.ready && i < 7; ++i) reading.push_back(each.scrape());
        kill({each.pid});
        Exporter paced(bin, "10", 0x0D11);
        for (unsigned i = 0; paced.ready && i < 7; ++i) cached.push_back(paced.scrape());
        // Scrapes every 15 s, as Prometheus does by default.
        rss0 = vmRssKiB(paced.pid);
        long long const t0 = cpuTicks(paced.pid);
        auto const s0 = Clock::now();
        while (paced.ready && usSince(s0) < scrapeSeconds * 1e6) {
            periodic.push_back(paced.scrape());
            std::this_thread::sleep_for(std::chrono::seconds(15));
        }
        exporterCpu = double(cpuTicks(paced.pid) - t0) / double(::sysconf(_SC_CLK_TCK)) / (usSince(s0) / 1e6) * 100;
        periodicReadings = paced.readings;
        rss1 = vmRssKiB(paced.pid);
        kill({paced.pid});
    }

    // ---- 4. every card loses lock at once ----
    size_t baseline;
    {
        RunPermissionGuard g;
        baseline = control->getAlarms().getLength();
    }
    for (Card const& c : card) chip(c.pid, "lock 0");
    unsigned arrived = 0;
    waitFor([&] {
        TipprmiSequence<ModelControlClient::AlarmRecord> all;
        {
            RunPermissionGuard g;
            all = control->getAlarms();
        }
        double const now = recordTimeOfDay();
        for (unsigned long i = baseline; i < all.getLength(); ++i)
            for (Card& c : card)
                if (all[i].key == c.key && all[i].condition == 1 && all[i].raise && c.alarmAt < 0) {
                    c.alarmAt = now;
                    ++arrived;
                }
        return arrived == cards;
    }, 15 / scale + 10, 2000);
    double latestDue = 0, lastArrival = 0;
    std::vector<double> each;
    for (Card const& c : card) {
        double const due = lastRecordTime(c.log, "Detect: Raise syncSourceLost") + 2.0 / scale;
        latestDue = std::max(latestDue, due);
        lastArrival = std::max(lastArrival, c.alarmAt);
        if (c.alarmAt > 0) each.push_back((c.alarmAt - due) * 1000);
    }
    kill(pids);
    if (arrived != cards || each.size() != cards) {
        std::fprintf(stderr, "only %u of %u sync-source-lost alarms arrived\n", arrived, cards);
        return 1;
    }

    std::printf("a node of %u cards and one model, %u flows created, time scale %g\n", cards, flows, scale);
    std::printf("1. creation burst\n");
    std::printf("  every card's chip running with its master (driver up at the model)  %9.1f ms\n", upMs);
    std::printf("  remote calls meanwhile: %u createFlow + %lu by the model + %lu by the tasks = %lu\n", flows,
                modelCalls, taskCalls, calls);
    std::printf("  plain ORB call round trip to the model (median)                     %9.1f us\n", callUs);
    std::printf("  time / (calls x round trip)                                         %9.2f x\n",
                upMs * 1000 / (double(calls) * callUs));
    // The model's calls in the burst are its creation notifications: a
    // TopFlow's to every task, a PerformanceService's to every task that
    // already links performance services.
    std::printf("  %lu creation notifications delivered (answered by every task) in %.1f ms: %.0f per second\n",
                modelCalls, deliveredMs, modelCalls / (deliveredMs / 1000));
    std::printf("2. steady state, per task (median / max over the cards)\n");
    std::printf("  resident memory  %6.2f / %6.2f MiB\n", medianOf(rss), *std::max_element(rss.begin(), rss.end()));
    std::printf("  threads          %6.0f / %6.0f:", medianOf(threads), *std::max_element(threads.begin(), threads.end()));
    for (auto const& e : names) std::printf(" %s x%u", e.first.c_str(), e.second);
    std::printf("\n  the whole node (%zu processes) idle over %.0f s: %.2f %% of one core\n", nodePids.size(),
                idleSeconds, idleCpu);
    std::printf("3. the operator's view (topctl, median of 7 runs; its process start and node join left out)\n");
    for (auto const& v : {std::make_pair("flow KEY", &flowView), std::make_pair("metrics ", &metrics)}) {
        if (v.second->commandMs.empty()) {
            std::printf("  %s  did not run\n", v.first);
            continue;
        }
        double const command = medianOf(v.second->commandMs), calls = medianOf(v.second->callsMs);
        std::printf("  %s  %9.2f ms, %4lu remote calls whose round trips add up to %8.2f ms: %5.2f x; %7.1f plain calls\n",
                    v.first, command, v.second->calls, calls, command / calls, command * 1000 / callUs);
    }
    bool const unanswered = std::count(reading.begin(), reading.end(), -1.0) + std::count(cached.begin(), cached.end(), -1.0) +
                                std::count(periodic.begin(), periodic.end(), -1.0) >
                            0;
    if (reading.empty() || cached.empty() || periodic.empty() || unanswered) {
        std::printf("  exporter  did not answer\n");
    } else {
        double const oneShot = metrics.commandMs.empty() ? 0 : medianOf(metrics.commandMs);
        std::printf("  exporter scrape that reads the card  %9.2f ms median, %9.2f ms max of 7: %5.2f x the metrics command\n",
                    medianOf(reading), *std::max_element(reading.begin(), reading.end()),
                    oneShot > 0 ? medianOf(reading) / oneShot : 0.0);
        std::printf("  exporter scrape of the last reading  %9.2f ms median: %5.3f x a scrape that reads\n",
                    medianOf(cached), medianOf(cached) / medianOf(reading));
        std::printf("  exporter scraped every 15 s for %.0f s (%zu scrapes, %.2f ms median, %.2f ms max): resident %.2f -> "
                    "%.2f MiB, %.3f %% of one core\n",
                    scrapeSeconds, periodic.size(), medianOf(periodic), *std::max_element(periodic.begin(), periodic.end()),
                    rss0 / 1024.0, rss1 / 1024.0, exporterCpu);
        if (!periodicReadings.empty())
            std::printf("  the readings those scrapes were served took %.2f ms median, %.2f ms max\n",
                        medianOf(periodicReadings), *std::max_element(periodicReadings.begin(), periodicReadings.end()));
    }
    std::printf("4. every card loses lock at once: all %u alarms at the model, after the last became due\n", cards);
    std::printf("  (its poll saw the loss + %g s raise delay)                         %9.1f ms\n", 2.0 / scale,
                (lastArrival - latestDue) * 1000);
    std::printf("  per card, arrival - due: median %.1f ms, max %.1f ms\n", medianOf(each),
                *std::max_element(each.begin(), each.end()));
    return 0;
}
