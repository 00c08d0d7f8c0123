// The settle point and its invariants, all read from outside: what the model
// holds (ModelControl), what each chip reports (its control channel), which
// processes live, their threads and memory (/proc) and their traces. Every
// check returns a verdict; settle() alone fails the run.
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "ModelControlClient.h"
#include "REFLECT_orb.h"
#include "Soak.h"
#include "SoakLooks.h"
#include "TopAdapterStatusClient.h"
#include "topDrvAdapIf.h"

namespace soak {

namespace {

using Fields = std::map<std::string, std::string>;
using Status = TopAdapterStatusClient;

// "ok state=0 lock=1 ..." as fields.
Fields fieldsOf(std::string const& line) {
    Fields f;
    std::istringstream in(line);
    for (std::string w; in >> w;)
        if (w.find('=') != std::string::npos) f[w.substr(0, w.find('='))] = w.substr(w.find('=') + 1);
    return f;
}

// What the chip does, without its counters and samples.
std::string steadyPart(std::string const& line) {
    Fields f = fieldsOf(line);
    std::string s;
    for (char const* k : {"state", "api-dead", "lock", "clock", "service", "master", "log-mean-sync"}) s += f[k] + " ";
    return s;
}

bool driverIs(Fields& f, int state) { return f["state"] == std::to_string(state); }

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

std::string str(unsigned long v) { return std::to_string(v); }

std::string describe(int status) {
    if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
    return "exit status " + std::to_string(WEXITSTATUS(status));
}

std::string tail(std::string const& file, size_t lines) {
    std::ifstream in(file);
    std::vector<std::string> all;
    for (std::string l; std::getline(in, l);) all.push_back(l);
    std::string out;
    for (size_t i = all.size() > lines ? all.size() - lines : 0; i < all.size(); ++i) out += "    " + all[i] + "\n";
    return out;
}

std::string stateName(long s) {
    switch (s) {
    case Status::STATE_DISABLED: return "disabled";
    case Status::STATE_ENABLED: return "enabled";
    case Status::STATE_STARTING: return "starting";
    case Status::STATE_RUNNING: return "running";
    }
    return "state " + std::to_string(s);
}

std::string conditionName(long c) {
    return c == Status::CONDITION_SYNC_SOURCE_LOST ? "sync source lost"
           : c == Status::CONDITION_MASTER_SERVICE_UNAVAILABLE ? "master service unavailable"
                                                                : "condition " + std::to_string(c);
}

// Threads that come and go with a flow; the rest of a task's threads are its own.
constexpr char const* kFlowThreads[] = {"TopFlowAdapterT", "TopPerfServiceT", "topStartUpWait"};

constexpr unsigned kMaxWorkers = 16;

// Memory is compared from this settle of a task on: the workers, the
// buffers and the allocator's caches have grown to their size by then.
constexpr unsigned kWarmSettles = 5;

// How far resident memory may rise above its size after warm-up, beyond a
// quarter of it: a sanitizer keeps freed memory in quarantine (ASan, its
// size set by the soak) and shadow pages for what it has seen.
// Each thread more than at warm-up (a flow's, a worker) may add its stack and
// allocator caches, several MiB with a sanitizer's per-thread state.
#if defined(__SANITIZE_ADDRESS__)
constexpr long kSlackKiB = 64 * 1024, kThreadKiB = 4 * 1024;
#elif defined(__SANITIZE_THREAD__)
constexpr long kSlackKiB = 96 * 1024, kThreadKiB = 4 * 1024;
#else
constexpr long kSlackKiB = 8 * 1024, kThreadKiB = 256;
#endif

std::string names(Usage const& u) {
    std::string s;
    for (auto const& t : u.threads) s += " " + t.first + " x" + std::to_string(t.second);
    return s;
}

unsigned ownThreads(Usage const& u) {
    unsigned n = u.total() - u.count("ReflectWorker");
    for (char const* t : kFlowThreads) n -= u.count(t);
    return n;
}

}  // namespace

void Soak::fail(std::string const& what) {
    options_.keep = true;
    std::printf("\nSOAK FAILURE at step %lu (settle %lu, %.1f s into the run): %s\n", step_.load(), settles_,
                secondsSince(begin_), what.c_str());
    std::string without;
    for (auto const& k : options_.without) without += (without.empty() ? " --without " : ",") + k;
    char const* chaos = std::getenv("TOPADAPTER_CHAOS");
    std::string const env = chaos ? std::string("TOPADAPTER_CHAOS=") + chaos + " " : "";
    if (options_.replay.empty())
        std::printf("  replay the schedule: %scard_soak --seed %llu --cards %u --scale %g --steps %lu%s\n", env.c_str(),
                    static_cast<unsigned long long>(options_.seed), options_.cards, options_.scale, step_.load(),
                    without.c_str());
    std::printf("  or its operations:   %scard_soak --replay %s --cards %u --scale %g\n", env.c_str(), opLogPath_.c_str(),
                options_.cards, options_.scale);
    std::printf("  the last operations (step, seconds, operation):\n");
    for (auto const& r : recent_) std::printf("    %s\n", r.c_str());
    for (auto const& c : cards_)
        if (c.task) std::printf("  card %u (%s), last records:\n%s", c.index, c.task->log.c_str(), tail(c.task->log, 25).c_str());
    if (model_) std::printf("  the model (%s), last records:\n%s", model_->log.c_str(), tail(model_->log, 10).c_str());
    std::printf("  everything is kept in %s\n", node_.dir().c_str());
    std::fflush(stdout);
}

Verdict Soak::processesLive() {
    for (Child* c : node_.reap()) {
        std::string reports;
        for (auto const& r : node_.reports())
            if (r.find("/reports/" + c->name + ".") != std::string::npos) reports += "\n  sanitizer report " + r;
        return Verdict::failed(c->name + " died (" + describe(c->status) + ")" + reports + "; its output:\n" + tail(c->out, 20));
    }
    return Verdict::pass();
}

// Operator clients end by themselves with 0, 1 (a flow or card gone
// meanwhile) or 3 (no data from the task yet), or were killed by the soak.
Verdict Soak::clientsDone() {
    auto const t = Clock::now();
    double const limit = 60 / options_.scale + 15;
    while (!clients_.empty()) {
        for (auto it = clients_.begin(); it != clients_.end();) {
            Child* c = *it;
            if (!node_.ended(c)) {
                ++it;
                continue;
            }
            int const code = WIFEXITED(c->status) ? WEXITSTATUS(c->status) : -1;
            if (!c->killed && code != 0 && code != 1 && code != 3)
                return Verdict::failed(c->name + " ended with " + describe(c->status) + ":\n" + tail(c->out, 10));
            it = clients_.erase(it);
        }
        if (clients_.empty()) break;
        if (secondsSince(t) > limit)
            return Verdict::failed(clients_.front()->name + " has not ended after " + str(unsigned(limit)) + " s");
        usleep(20000);
    }
    return Verdict::pass();
}

std::vector<unsigned long> Soak::flowsOfUnit(unsigned long unit) const {
    std::vector<unsigned long> keys;
    for (auto const& f : flows_)
        if (f.second.unit == unit) keys.push_back(f.first);
    return keys;
}

// The chip of a card runs with the values of the card's own flow when that
// is unlocked with a master address, and is stopped otherwise; a stopped
// card's chip is stopped. What a fault left undecidable is not looked at.
Verdict Soak::chipsAsExpected(std::map<unsigned, std::string>& states) {
    for (auto const& c : cards_) {
        std::string const line = Node::chip(c.task->pid, "state");
        states[c.index] = line;
        std::string const card = "card " + str(c.index);
        if (line.compare(0, 2, "ok") != 0) return Verdict::failed(card + "'s chip does not answer: " + line);
        Fields f = fieldsOf(line);
        auto const flow = flows_.find(c.flow);
        bool const run = c.expect == CardRec::Clean && flow != flows_.end() && flow->second.wantsChip();
        bool const runs = driverIs(f, TOP_DRV_RUNNING) && f["api-dead"] == "0";
        bool const ok =
            !run ? (c.muted & kChipRuns) || driverIs(f, TOP_DRV_NOT_STARTED)
                 : ((c.muted & kChipRuns) || runs) &&
                       ((c.muted & kChipValues) || !runs ||
                        (f["master"] == hex(flow->second.master) && f["log-mean-sync"] == std::to_string(flow->second.rate)));
        if (!ok)
            return Verdict::failed(
                card + ": flow " + str(c.flow) +
                (run ? " is unlocked with master " + hex(flow->second.master) + " and rate " + std::to_string(flow->second.rate) +
                           ", but its chip does not run with them: "
                     : c.expect == CardRec::Stopped ? ": its chip must stay stopped until the flow is disabled: "
                                                    : " needs no chip, but it is not stopped: ") +
                line);
    }
    return Verdict::pass();
}

Status::TaskStatus Soak::status(CardRec const& c) {
    return call("the task's getStatus", [&](ModelControlClient&) {
        return Status(TipprmiOID(Status::NAME + "-" + str(c.unit))).getStatus();
    });
}

// The model holds, for every flow of a card's unit, the alarms its adapter
// and the chip call for: master service unavailable unless the flow is the
// card's own and runs (its adapter running, the chip too), sync source lost
// while it runs without lock. A flow of no card has none.
Verdict Soak::alarmsAsExpected(std::map<unsigned, std::string> const& states) {
    TipprmiSequence<ModelControlClient::AlarmRecord> all = call("getAlarms", [](ModelControlClient& m) { return m.getAlarms(); });
    if (callFailed("getAlarms")) return Verdict::failed("the model's alarms could not be read");
    std::map<std::pair<unsigned long, long>, bool> last;
    for (unsigned long i = 0; i < all.getLength(); ++i) last[std::make_pair(all[i].key, all[i].condition)] = all[i].raise;
    for (auto& c : cards_) {
        std::vector<unsigned long> const keys = flowsOfUnit(c.unit);
        if (keys.empty()) continue;
        Fields f = fieldsOf(states.at(c.index));
        Status::TaskStatus const t = status(c);
        if (callFailed("the task's getStatus")) return Verdict::failed("card " + str(c.index) + "'s status could not be read");
        bool running = false;
        for (unsigned long i = 0; i < t.flows.getLength(); ++i)
            running = running || (t.flows[i].key == c.flow && t.flows[i].state == Status::STATE_RUNNING &&
                                   driverIs(f, TOP_DRV_RUNNING));
        for (unsigned long key : keys) {
            bool const runs = running && key == c.flow;
            std::map<long, bool> const expected = {{Status::CONDITION_SYNC_SOURCE_LOST, runs && f["lock"] == "0"},
                                                   {Status::CONDITION_MASTER_SERVICE_UNAVAILABLE, !runs}};
            for (auto const& e : expected) {
                auto const at = last.find(std::make_pair(key, e.first));
                bool const held = at != last.end() && at->second;
                if (held == e.second) continue;
                std::string why = "flow " + str(key) + " (card " + str(c.index) + (key == c.flow ? "'s own" : ", standing by") +
                                  "): the model holds " + conditionName(e.first) + (held ? " raised" : " cancelled") + " (" +
                                  (at == last.end() ? "never reported" : "last report") + "), but the chip has " +
                                  steadyPart(states.at(c.index)) + "and the flow " + (runs ? "runs" : "does not run") +
                                  "; the model's reports of the flow (condition:raise):";
                for (unsigned long i = 0; i < all.getLength(); ++i)
                    if (all[i].key == key) why += " " + std::to_string(all[i].condition) + ":" + std::to_string(all[i].raise);
                return Verdict::failed(why);
            }
        }
    }
    for (auto const& l : last)
        if (flows_.count(l.first.first) && !flows_[l.first.first].own())
            return Verdict::failed("flow " + str(l.first.first) + " of unit " + str(flows_[l.first.first].unit) +
                                   ", which no card runs, has alarms at the model");
    return Verdict::pass();
}

// The model's flows are the soak's; a running flow's driver information is
// its chip's; the performance service of a card's own flow that is enabled
// with a master address is observed once, by its task, the others by none.
Verdict Soak::modelAsExpected(std::map<unsigned, std::string> const& states) {
    TipprmiSequence<ModelControlClient::FlowState> all = call("getFlows", [](ModelControlClient& m) { return m.getFlows(); });
    if (callFailed("getFlows")) return Verdict::failed("the model's flows could not be read");
    if (all.getLength() != flows_.size())
        return Verdict::failed("the model holds " + str(all.getLength()) + " flows, not " + str(flows_.size()));
    for (unsigned long i = 0; i < all.getLength(); ++i) {
        ModelControlClient::FlowState const& s = all[i];
        auto const it = flows_.find(s.key);
        std::string const name = "flow " + str(s.key);
        if (it == flows_.end()) return Verdict::failed("the model holds " + name + ", which the soak deleted");
        FlowRec const& f = it->second;
        uint32_t master = 0;
        for (int k = 0; k < 4; ++k) master = master << 8 | uint32_t(s.masterIp[k] & 255);
        if (s.unit != f.unit || s.adminState != f.admin || master != f.master || s.logMeanSyncValue != f.rate)
            return Verdict::failed(name + " differs at the model");
        CardRec const* card = f.own() && cards_[f.unit - 1].flow == s.key ? &cards_[f.unit - 1] : nullptr;
        bool const perf = card && f.wantsChip();
        // A trigger first: it drops the registrations of observers that are gone (a killed task's).
        TipprmiSequence<unsigned long> idents;
        idents.push_back(static_cast<unsigned long>(Status::PM_IDENT_SLS));
        call("triggerPerformance", [&](ModelControlClient& m) { return m.triggerPerformance(s.key, idents, 1), true; });
        ModelControlClient::PerformanceRecord const p = call("getPerformance", [&](ModelControlClient& m) { return m.getPerformance(s.key); });
        if (callFailed("getPerformance")) return Verdict::failed(name + "'s performance record could not be read");
        if (p.triggerObservers != (perf ? 1u : 0u))
            return Verdict::failed(name + "'s performance service has " + str(p.triggerObservers) + " trigger observers, not " +
                                   (perf ? "1" : "0"));
        if (!perf || card->expect != CardRec::Clean || (card->muted & (kDriverInfo | kChipRuns))) continue;
        if (!s.drvInitStatus) return Verdict::failed(name + ": the model was not told that its driver is up");
        Fields c = fieldsOf(states.at(card->index));
        TopFlowClient::DriverInfo const d = call("requestDriverInfo", [&](ModelControlClient& m) { return m.requestDriverInfo(s.key); });
        if (callFailed("requestDriverInfo")) return Verdict::failed(name + "'s driver information could not be read");
        int const clock = c["clock"] != "1" ? 2 : c["service"] != "1" ? 3 : 0;
        if (d.masterLockState != (c["lock"] == "1" ? 0 : 1) || int(d.masterClockState) != clock)
            return Verdict::failed(name + "'s driver information (lock " + std::to_string(d.masterLockState) + ", clock " +
                                   std::to_string(int(d.masterClockState)) + ") is not its chip's: " +
                                   steadyPart(states.at(card->index)));
    }
    return Verdict::pass();
}

// Every driver call the chip refused since the last settle is one that a
// fault injected meanwhile explains.
Verdict Soak::callOrderKept(CardRec& c) {
    std::ifstream in(c.task->log);
    in.seekg(c.logSeen);
    std::string refused;
    for (std::string line; std::getline(in, line) && !in.eof();) {
        c.logSeen += std::streamoff(line.size() + 1);
        size_t const at = line.find(" refused: ");
        if (at == std::string::npos || !refused.empty()) continue;
        std::string const fn = line.substr(line.rfind(' ', at - 1) + 1, at - line.rfind(' ', at - 1) - 1);
        if (fn.compare(0, 13, "topDrvAdapIf_") == 0 && !c.explained.count(fn)) refused = line;
    }
    c.explained.clear();
    c.revive = false;
    if (refused.empty()) return Verdict::pass();
    return Verdict::failed("card " + str(c.index) + "'s task broke the driver's call order: " + refused);
}

// A restarted model is followed without a chip restart of an unchanged flow.
Verdict Soak::afterModelRestart(CardRec const& c) {
    if (!recovering_ || c.expect != CardRec::Clean || (c.muted & kChipRuns)) return Verdict::pass();
    std::istringstream j(Node::chip(c.task->pid, "journal 4096"));
    unsigned inits = 0, deinits = 0;
    for (std::string l; std::getline(j, l);)
        if (std::strtoull(l.c_str(), nullptr, 10) > c.journalMark) {
            inits += l.find(" topDrvAdapIf_init(") != std::string::npos;
            deinits += l.find(" topDrvAdapIf_deinit(") != std::string::npos;
        }
    if (inits == 0 && deinits == 0) return Verdict::pass();
    return Verdict::failed("card " + str(c.index) + "'s unchanged flow " + str(c.flow) + " had its chip configured " +
                           str(inits) + " times and stopped " + str(deinits) + " times after the model restarted");
}

// Flat: a task's own threads are those of its first settle; the worker pool
// grows only with the most requests served at once, which the node's size
// bounds; resident memory stays within a quarter (and the build's slack)
// of what it was after warm-up.
Verdict Soak::flat(CardRec const& c, Usage const& u) {
    std::string const card = "card " + str(c.index) + " at its settle " + str(c.settles) + ": ";
    if (ownThreads(u) != ownThreads(c.first))
        return Verdict::failed(card + "its threads went from" + names(c.first) + " to" + names(u));
    if (u.count("ReflectWorker") > kMaxWorkers) return Verdict::failed(card + str(u.count("ReflectWorker")) + " ReflectWorker threads");
    long const moreThreads = std::max(0L, long(u.total()) - long(c.warm.total()));
    if (c.settles > kWarmSettles &&
        u.rssKiB > c.warm.rssKiB + std::max(c.warm.rssKiB / 4, kSlackKiB) + moreThreads * kThreadKiB)
        return Verdict::failed(card + "its resident memory went from " + str(c.warm.rssKiB) + " KiB after warm-up to " +
                               str(u.rssKiB) + " KiB, its threads from " + str(c.warm.total()) + " to " + str(u.total()));
    return Verdict::pass();
}

// The task's status object holds one adapter for every flow of its unit, in
// the state and with the values its flow calls for, counting while the
// card's own flow is enabled with a master address; the task runs one
// supervisor timer per adapter, one performance timer while counting, no
// start-up wait unless a fault keeps the chip starting.
Verdict Soak::tasksAsExpected() {
    for (auto& c : cards_) {
        std::string const card = "card " + str(c.index);
        Verdict v = callOrderKept(c);
        if (!v.ok) return v;
        Status::TaskStatus const t = status(c);
        if (callFailed("the task's getStatus")) return Verdict::failed(card + "'s status could not be read");
        std::vector<unsigned long> const keys = flowsOfUnit(c.unit);
        std::string held, want;
        for (unsigned long i = 0; i < t.flows.getLength(); ++i) held += " " + str(t.flows[i].key);
        for (unsigned long k : keys) want += " " + str(k);
        if (held != want)
            return Verdict::failed(card + " holds flow adapters for" + (held.empty() ? " none" : held) + ", not for" +
                                   (want.empty() ? " none" : want));
        bool perf = false;
        for (unsigned long i = 0; i < t.flows.getLength(); ++i) {
            Status::FlowStatus const& a = t.flows[i];
            FlowRec const& f = flows_[a.key];
            bool const own = a.key == c.flow;
            bool const counts = own && f.wantsChip();
            perf = perf || counts;
            long const wanted = !own || f.admin != 1 ? Status::STATE_DISABLED
                                : c.expect == CardRec::Stopped ? (a.state == Status::STATE_RUNNING ? a.state : Status::STATE_ENABLED)
                                : !f.master ? Status::STATE_ENABLED
                                            : Status::STATE_RUNNING;
            std::string const adapter = card + "'s adapter of flow " + str(a.key) + (own ? "" : " (standing by)");
            if (!(own && (c.muted & kAdapterState)) && a.state != wanted)
                return Verdict::failed(adapter + " is " + stateName(a.state) + "; the flow calls for " + stateName(wanted));
            if (a.counting != counts)
                return Verdict::failed(adapter + (a.counting ? " counts" : " does not count") + "; the flow calls for " +
                                       (counts ? "counting" : "none"));
            if (a.masterIp != f.master || a.logMeanSyncValue != f.rate)
                return Verdict::failed(adapter + " holds master " + hex(uint32_t(a.masterIp)) + " and rate " +
                                       std::to_string(a.logMeanSyncValue) + ", the flow " + hex(f.master) + " and " +
                                       std::to_string(f.rate));
        }
        Usage const u = Node::usage(c.task->pid);
        if (u.count("TopFlowAdapterT") != keys.size() || u.count("TopPerfServiceT") != (perf ? 1u : 0u))
            return Verdict::failed(card + " runs " + str(u.count("TopFlowAdapterT")) + " supervisor timers for " +
                                   str(keys.size()) + " flows and " + str(u.count("TopPerfServiceT")) + " performance timers");
        if (!(c.muted & kStartUpWait) && u.count("topStartUpWait")) return Verdict::failed(card + " still waits for a driver start-up");
        v = afterModelRestart(c);
        if (!v.ok) return v;
        if (!c.settles) c.first = u;
        if (++c.settles <= kWarmSettles) c.warm = u;
        if (c.settles <= 10) c.tenth = u;
        c.last = u;
        v = flat(c, u);
        if (!v.ok) return v;
    }
    recovering_ = false;
    return Verdict::pass();
}

Verdict Soak::noReports() {
    std::vector<std::string> const reports = node_.reports();
    if (reports.empty()) return Verdict::pass();
    return Verdict::failed("sanitizer report " + reports.front() + ":\n" + tail(reports.front(), 30));
}

// The end of the run, as on a card: the task manager ends the tasks
// (SIGTERM: a task has no orderly stop), the model and the membership
// service end in order. Sanitized, each looks for leaks on its way out.
Verdict Soak::childrenEnded() {
    for (auto& c : cards_) {
        if (!c.task) continue;
        Child* task = c.task;
        c.task = nullptr;
        if (!node_.end(task, SIGTERM, 60)) {
            node_.kill(task);
            return Verdict::failed(task->name + " did not end within 60 s of SIGTERM");
        }
        if (!WIFSIGNALED(task->status) || WTERMSIG(task->status) != SIGTERM)
            return Verdict::failed(task->name + " ended on SIGTERM with " + describe(task->status) + ":\n" + tail(task->out, 20));
    }
    for (Child* c : node_.running()) {
        if (!node_.end(c, SIGTERM, 30)) {
            node_.kill(c);
            return Verdict::failed(c->name + " did not end within 30 s of SIGTERM");
        }
        if (!c->tool && !(WIFEXITED(c->status) && WEXITSTATUS(c->status) == 0))
            return Verdict::failed(c->name + " ended on SIGTERM with " + describe(c->status) + ", not in order:\n" + tail(c->out, 20));
    }
    model_ = nullptr;
    return Verdict::pass();
}

// Settled: the chips follow their flows once started (the task polls the
// start-up every second); then the alarms within a condition poll, the
// longest delay and the gathering window, which starts again whenever a
// chip changes; then the model, the tasks, the processes.
Verdict Soak::settled() {
    Verdict v = clientsDone();
    if (v.ok) v = processesLive();
    if (!v.ok) return v;
    // A replayed log with lines removed may leave a card without its task.
    for (auto& c : cards_)
        if (!c.task && !startTask(c, {})) return Verdict::failed("card " + str(c.index) + "'s task did not start");
    double maxStartup = 3;
    for (auto const& c : cards_)
        if (!(c.muted & kChipRuns)) maxStartup = std::max(maxStartup, c.startupSeconds);
    std::map<unsigned, std::string> states;
    auto const t = Clock::now();
    while (!(v = chipsAsExpected(states)).ok)
        if (secondsSince(t) > (maxStartup + 10) / options_.scale + 4) return v;
        else usleep(50000);
    double const window = (10 + 60 + 1.5) / options_.scale + 1.5;
    auto stable = Clock::now();
    std::map<unsigned, std::string> seen;
    for (auto const& s : states) seen[s.first] = steadyPart(s.second);
    while (secondsSince(stable) < window) {
        usleep(100000);
        if (!(v = chipsAsExpected(states)).ok) return Verdict::failed("after the chips had settled: " + v.why);
        for (auto const& s : states)
            if (seen[s.first] != steadyPart(s.second)) {
                seen[s.first] = steadyPart(s.second);
                stable = Clock::now();
            }
    }
    auto const grace = Clock::now();
    while (!(v = alarmsAsExpected(states)).ok && secondsSince(grace) < 20 / options_.scale + 2) usleep(100000);
    if (v.ok) v = modelAsExpected(states);
    if (v.ok) v = tasksAsExpected();
    if (v.ok) v = noReports();
    if (v.ok) v = processesLive();
    return v;
}

bool Soak::settle(bool last) {
    ++settles_;
    std::vector<std::string> failed;
    {
        std::lock_guard<std::mutex> lock(verdictsMutex_);
        failed.swap(failures_);
    }
    auto check = [&](Verdict const& v) {
        if (!v.ok) failed.push_back(v.why);
    };
    for (auto const& f : looks_->takeFailures()) failed.push_back(f);
    // What failed meanwhile may follow from a process that died first, and
    // a process that dies (writing its core) may not be reaped at once.
    Verdict live = processesLive();
    for (int i = 0; live.ok && !failed.empty() && i < 30; ++i) {
        usleep(100000);
        live = processesLive();
    }
    if (!live.ok) failed.insert(failed.begin(), live.why);
    if (failed.empty() && (!last || sinceSettle_ > 0)) check(settled());
    sinceSettle_ = 0;
    if (last) {
        looks_->stop();
        for (auto const& f : looks_->takeFailures()) failed.push_back(f);
        check(childrenEnded());
        check(noReports());
    }
    {
        // Noted by the checks themselves: the reasons of a failed model call.
        std::lock_guard<std::mutex> lock(verdictsMutex_);
        failed.insert(failed.end(), failures_.begin(), failures_.end());
        failures_.clear();
    }
    if (failed.empty()) return true;
    std::string all;
    for (auto const& f : failed) all += (all.empty() ? "" : "\n  also: ") + f;
    fail(all);
    return false;
}

void Soak::summary() {
    double const s = secondsSince(begin_);
    std::printf("card_soak: seed %llu, %u cards, time scale %g, %.0f s: %lu operations (%.0f per minute), %lu settles checked\n",
                static_cast<unsigned long long>(options_.seed), options_.cards, options_.scale, s, operations_,
                operations_ / s * 60, settles_);
    std::printf("  %lu model calls, the longest %.3f s (%s; limit: two transaction periods, %.3f s)\n", modelCalls_,
                longestCall_, longestWhat_.c_str(), 60 / options_.scale);
    std::printf("  %lu operator looks beside them, %lu of them of a flow or model not there\n", looks_->done(),
                looks_->absent());
    std::string kinds;
    for (auto const& k : byKind_) kinds += (kinds.empty() ? "" : ", ") + k.first + " " + str(k.second);
    std::printf("  operations: %s\n", kinds.c_str());
    for (auto const& c : cards_)
        if (c.settles)
            std::printf("  card %u, task instance %u, over %u settles (first, tenth, last): resident %.1f, %.1f, %.1f MiB; "
                        "threads %u, %u, %u, of them ReflectWorker %u, %u, %u\n", c.index, c.instance, c.settles,
                        c.first.rssKiB / 1024.0, c.tenth.rssKiB / 1024.0, c.last.rssKiB / 1024.0, c.first.total(),
                        c.tenth.total(), c.last.total(), c.first.count("ReflectWorker"), c.tenth.count("ReflectWorker"),
                        c.last.count("ReflectWorker"));
}

}  // namespace soak
