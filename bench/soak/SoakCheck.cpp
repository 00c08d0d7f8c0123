// The settle point and its invariants, all read from outside: what the model
// holds (ModelControl), what each chip reports (its control channel), which
// processes live, their threads (/proc) and their traces.
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <sstream>

#include "ModelControlClient.h"
#include "REFLECT_orb.h"
#include "Soak.h"
#include "TopAdapterStatusClient.h"

namespace soak {

namespace {

using Fields = std::map<std::string, std::string>;

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

std::string hex(uint32_t v) {
    char b[16];
    std::snprintf(b, sizeof b, "0x%08x", v);
    return b;
}

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

// Threads that come and go with a flow; the rest of a task's threads are its own.
constexpr char const* kFlowThreads[] = {"TopFlowAdapterT", "TopPerfServiceT", "topStartUpWait"};

constexpr unsigned kMaxWorkers = 16;

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

bool Soak::fail(std::string const& what) {
    static std::mutex once;
    std::lock_guard<std::mutex> lock(once);
    static bool failed = false;
    if (failed) return false;
    failed = true;
    options_.keep = true;
    std::printf("\nSOAK FAILURE at step %lu (settle %lu, %.1f s into the run): %s\n", step_, settles_,
                secondsSince(begin_), what.c_str());
    std::string without;
    for (auto const& k : options_.without) without += (without.empty() ? " --without " : ",") + k;
    if (options_.replay.empty())
        std::printf("  replay the schedule: card_soak --seed %llu --cards %u --scale %g --steps %lu%s\n",
                    static_cast<unsigned long long>(options_.seed), options_.cards, options_.scale, step_, without.c_str());
    std::printf("  or its operations:   card_soak --replay %s/operations.log --cards %u --scale %g\n",
                node_.dir().c_str(), options_.cards, options_.scale);
    std::printf("  the last operations (step, seconds, operation):\n");
    for (auto const& r : recent_) std::printf("    %s\n", r.c_str());
    for (auto const& c : cards_)
        if (c.task) std::printf("  card %u (%s), last records:\n%s", c.index, c.task->log.c_str(), tail(c.task->log, 25).c_str());
    if (model_) std::printf("  the model (%s), last records:\n%s", model_->log.c_str(), tail(model_->log, 10).c_str());
    std::printf("  everything is kept in %s\n", node_.dir().c_str());
    std::fflush(stdout);
    return false;
}

bool Soak::processesLive() {
    for (Child* c : node_.reap()) {
        bool client = false;
        for (Child* k : clients_) client = client || k == c;
        std::string reports;
        for (auto const& r : node_.reports())
            if (r.find("/reports/" + c->name + ".") != std::string::npos) reports += "\n  sanitizer report " + r;
        if (!client) return fail(c->name + " died (" + describe(c->status) + ")" + reports + "; its output:\n" + tail(c->out, 20));
    }
    return true;
}

// Operator clients end by themselves with 0, 1 (a flow or card gone
// meanwhile) or 3 (no data from the task yet), or were killed by the soak.
bool Soak::clientsDone(bool wait) {
    auto const t = Clock::now();
    double const limit = 60 / options_.scale + 15;
    while (!clients_.empty()) {
        if (!processesLive()) return false;
        for (auto it = clients_.begin(); it != clients_.end();) {
            Child* c = *it;
            int const code = WIFEXITED(c->status) ? WEXITSTATUS(c->status) : -1;
            if (c->ended && !c->killed && code != 0 && code != 1 && code != 3)
                return fail(c->name + " ended with " + describe(c->status) + ":\n" + tail(c->out, 10));
            it = c->ended ? clients_.erase(it) : it + 1;
        }
        if (!wait || clients_.empty()) break;
        if (secondsSince(t) > limit) return fail(clients_.front()->name + " has not ended after " + std::to_string(int(limit)) + " s");
        usleep(20000);
    }
    return true;
}

// The chip of a clean card runs with the flow's values when the card's flow
// is unlocked with a master address, and is stopped otherwise; a stopped
// card's chip is stopped.
bool Soak::chipsAsExpected(std::map<unsigned, std::string>& states, std::string* why) {
    for (auto const& c : cards_) {
        std::string const line = Node::chip(c.task->pid, "state");
        states[c.index] = line;
        if (line.compare(0, 2, "ok") != 0) return *why = "card " + std::to_string(c.index) + "'s chip does not answer", false;
        if (c.expect == CardRec::Unknown) continue;
        Fields f = fieldsOf(line);
        auto const flow = flows_.find(c.flow);
        bool const run = c.expect == CardRec::Clean && flow != flows_.end() && flow->second.admin == 1 && flow->second.master;
        bool const ok = run ? f["state"] == "0" && f["api-dead"] == "0" && f["master"] == hex(flow->second.master) &&
                                  f["log-mean-sync"] == std::to_string(flow->second.rate)
                            : f["state"] == "6";
        if (!ok) {
            *why = "card " + std::to_string(c.index) + ": flow " + std::to_string(c.flow) +
                   (run ? " is unlocked with master " + hex(flow->second.master) + " and rate " + std::to_string(flow->second.rate) +
                              ", but its chip does not run with them: "
                        : c.expect == CardRec::Stopped ? ": its chip must stay stopped until the flow is disabled: "
                                                       : " needs no chip, but it is not stopped: ") + line;
            return false;
        }
    }
    return true;
}

TopAdapterStatusClient::TaskStatus Soak::status(CardRec const& c) {
    return call("the task's getStatus", [&](ModelControlClient&) {
        return TopAdapterStatusClient(TipprmiOID(TopAdapterStatusClient::NAME + "-" + std::to_string(c.unit))).getStatus();
    });
}

// The model holds, for every flow of a card, the alarms its chip calls for:
// master service unavailable while the driver is not ready, sync source lost
// while it is ready without lock. A flow of no card has none.
bool Soak::alarmsAsExpected(std::map<unsigned, std::string> const& states, std::string* why) {
    TipprmiSequence<ModelControlClient::AlarmRecord> all = call("getAlarms", [](ModelControlClient& m) { return m.getAlarms(); });
    if (callFailed("getAlarms")) return *why = "", false;
    std::map<std::pair<unsigned long, long>, bool> last;
    for (unsigned long i = 0; i < all.getLength(); ++i) last[std::make_pair(all[i].key, all[i].condition)] = all[i].raise;
    for (auto& c : cards_) {
        if (!c.flow) continue;
        Fields f = fieldsOf(states.at(c.index));
        // Ready: the driver runs and the adapter knows it (a chip that a failed deinit left running is not).
        TopAdapterStatusClient::TaskStatus const t = status(c);
        if (callFailed("the task's getStatus")) return *why = "", false;
        bool running = false;
        for (unsigned long i = 0; i < t.flows.getLength(); ++i)
            running = running || (t.flows[i].key == c.flow && t.flows[i].state == 3 && f["state"] == "0");
        bool const expected[3] = {false, running && f["lock"] == "0", !running};
        for (long condition : {1, 2}) {
            auto const at = last.find(std::make_pair(c.flow, condition));
            bool const held = at != last.end() && at->second;
            if (held == expected[condition]) continue;
            *why = "flow " + std::to_string(c.flow) + " (card " + std::to_string(c.index) + "): the model holds " +
                   (condition == 1 ? "sync source lost" : "master service unavailable") + (held ? " raised" : " cancelled") +
                   " (" + (at == last.end() ? "never reported" : "last report") + "), but the chip has " + steadyPart(states.at(c.index)) +
                   "and the adapter is " + (running ? "running" : "not running") +
                   "; the model's reports of the flow (condition:raise):";
            for (unsigned long i = 0; i < all.getLength(); ++i)
                if (all[i].key == c.flow) *why += " " + std::to_string(all[i].condition) + ":" + std::to_string(all[i].raise);
            return false;
        }
    }
    for (auto const& l : last)
        if (flows_.count(l.first.first) && !flows_[l.first.first].own())
            return *why = "flow " + std::to_string(l.first.first) + " of unit " + std::to_string(flows_[l.first.first].unit) +
                          ", which no card runs, has alarms at the model", false;
    return true;
}

// The model's flows are the soak's; a running flow's driver information is
// its chip's; the performance service of every flow of a card that is
// enabled with a master address is observed once, by its task, the others
// by none.
bool Soak::modelAsExpected(std::map<unsigned, std::string> const& states, std::string* why) {
    TipprmiSequence<ModelControlClient::FlowState> all = call("getFlows", [](ModelControlClient& m) { return m.getFlows(); });
    if (callFailed("getFlows")) return *why = "", false;
    if (all.getLength() != flows_.size())
        return *why = "the model holds " + std::to_string(all.getLength()) + " flows, not " + std::to_string(flows_.size()), false;
    for (unsigned long i = 0; i < all.getLength(); ++i) {
        ModelControlClient::FlowState const& s = all[i];
        auto const it = flows_.find(s.key);
        std::string const name = "flow " + std::to_string(s.key);
        if (it == flows_.end()) return *why = "the model holds " + name + ", which the soak deleted", false;
        FlowRec const& f = it->second;
        uint32_t master = 0;
        for (int k = 0; k < 4; ++k) master = master << 8 | uint32_t(s.masterIp[k] & 255);
        if (s.unit != f.unit || s.adminState != f.admin || master != f.master || s.logMeanSyncValue != f.rate)
            return *why = name + " differs at the model", false;
        CardRec const* card = f.own() ? &cards_[f.unit - 1] : nullptr;
        bool const perf = card && f.admin == 1 && f.master;
        // A trigger first: it drops the registrations of observers that are gone (a killed task's).
        TipprmiSequence<unsigned long> idents;
        idents.push_back(1);
        call("triggerPerformance", [&](ModelControlClient& m) { return m.triggerPerformance(s.key, idents, 1), true; });
        ModelControlClient::PerformanceRecord const p = call("getPerformance", [&](ModelControlClient& m) { return m.getPerformance(s.key); });
        if (callFailed("getPerformance")) return *why = "", false;
        if (p.triggerObservers != (perf ? 1u : 0u))
            return *why = name + "'s performance service has " + std::to_string(p.triggerObservers) + " trigger observers, not " +
                          (perf ? "1" : "0"), false;
        if (!perf || card->tainted()) continue;
        if (!s.drvInitStatus) return *why = name + ": the model was not told that its driver is up", false;
        Fields c = fieldsOf(states.at(card->index));
        TopFlowClient::DriverInfo const d = call("requestDriverInfo", [&](ModelControlClient& m) { return m.requestDriverInfo(s.key); });
        if (callFailed("requestDriverInfo")) return *why = "", false;
        int const clock = c["clock"] != "1" ? 2 : c["service"] != "1" ? 3 : 0;
        if (d.masterLockState != (c["lock"] == "1" ? 0 : 1) || int(d.masterClockState) != clock)
            return *why = name + "'s driver information (lock " + std::to_string(d.masterLockState) + ", clock " +
                          std::to_string(int(d.masterClockState)) + ") is not its chip's: " + steadyPart(states.at(card->index)), false;
    }
    return true;
}

// The task's status object holds one flow adapter, for the card's flow, in
// the state the flow calls for, counting while it is enabled with a master
// address; the task runs one supervisor timer per adapter, one performance
// timer while counting, no start-up wait unless a fault keeps the chip
// starting; the driver's call order is kept.
bool Soak::tasksAsExpected(std::string* why) {
    for (auto& c : cards_) {
        std::string const card = "card " + std::to_string(c.index);
        std::ifstream in(c.task->log);
        in.seekg(c.logSeen);
        std::string refused;
        for (std::string line; std::getline(in, line) && !in.eof();) {
            c.logSeen += std::streamoff(line.size() + 1);
            size_t const at = line.find(" refused: ");
            bool const tolerated = !options_.tolerate.empty() && line.find(options_.tolerate + " refused") != std::string::npos;
            if (at != std::string::npos && !tolerated && refused.empty()) refused = line.substr(line.rfind(' ', at - 1) + 1);
        }
        if (!refused.empty() && !c.forced) return *why = card + "'s task broke the driver's call order: " + refused, false;
        c.forced = c.revive = false;
        FlowRec const* f = c.flow ? &flows_[c.flow] : nullptr;
        bool const perf = f && f->admin == 1 && f->master;
        TopAdapterStatusClient::TaskStatus const t = status(c);
        if (callFailed("the task's getStatus")) return *why = "", false;
        std::string held;
        for (unsigned long i = 0; i < t.flows.getLength(); ++i) held += " " + std::to_string(t.flows[i].key);
        if (t.flows.getLength() != (f ? 1u : 0u) || (f && t.flows[0].key != c.flow))
            return *why = card + " holds flow adapters for" + (held.empty() ? " none" : held) + ", not for " +
                          (f ? "flow " + std::to_string(c.flow) : "none"), false;
        if (f) {
            TopAdapterStatusClient::FlowStatus const& a = t.flows[0];
            long const want = c.expect == CardRec::Stopped ? (a.state == 3 ? 3 : 1) : !f->admin ? 0 : !f->master ? 1 : 3;
            if ((c.expect != CardRec::Unknown && a.state != want) || a.counting != perf)
                return *why = card + "'s adapter of flow " + std::to_string(c.flow) + " is in state " + std::to_string(a.state) +
                              (a.counting ? ", counting" : ", not counting") + "; the flow calls for state " +
                              std::to_string(want) + (perf ? ", counting" : ", not counting"), false;
        }
        Usage const u = Node::usage(c.task->pid);
        if (u.count("TopFlowAdapterT") != (f ? 1u : 0u) || u.count("TopPerfServiceT") != (perf ? 1u : 0u))
            return *why = card + " runs " + std::to_string(u.count("TopFlowAdapterT")) + " supervisor timers and " +
                          std::to_string(u.count("TopPerfServiceT")) + " performance timers", false;
        if (c.expect != CardRec::Unknown && u.count("topStartUpWait"))
            return *why = card + " still waits for a driver start-up", false;
        if (recovering_ && !c.tainted() && perf) {
            // After the model's restart an unchanged flow keeps its chip, or has it configured once more.
            std::istringstream j(Node::chip(c.task->pid, "journal 4096"));
            unsigned inits = 0, deinits = 0;
            for (std::string l; std::getline(j, l);)
                if (std::strtoull(l.c_str(), nullptr, 10) > c.journalMark) {
                    inits += l.find(" topDrvAdapIf_init(") != std::string::npos;
                    deinits += l.find(" topDrvAdapIf_deinit(") != std::string::npos;
                }
            if (inits > 1 || deinits > 1)
                return *why = card + "'s unchanged flow was configured " + std::to_string(inits) + " times and stopped " +
                              std::to_string(deinits) + " times after the model restarted", false;
        }
        if (!c.settles) c.first = u;
        if (++c.settles <= 10) c.tenth = u;
        c.last = u;
    }
    recovering_ = false;
    return true;
}

bool Soak::settle() {
    ++settles_;
    if (!clientsDone(true) || !processesLive()) return false;
    // A replayed log with lines removed may leave a card without its task.
    for (auto& c : cards_)
        if (!c.task && !startTask(c, {})) return false;
    double maxStartup = 3;
    for (auto const& c : cards_)
        if (!c.tainted()) maxStartup = std::max(maxStartup, c.startupSeconds);
    std::map<unsigned, std::string> states;
    std::string why;
    // The chips follow their flows once started (the task polls the start-up every second).
    auto const t = Clock::now();
    while (!chipsAsExpected(states, &why))
        if (secondsSince(t) > (maxStartup + 10) / options_.scale + 4) return fail(why);
        else usleep(50000);
    // Alarms follow a chip within a condition poll, the longest delay and the
    // gathering window; the window starts again whenever a chip changes.
    double const window = (10 + 60 + 1.5) / options_.scale + 1.5;
    auto stable = Clock::now();
    std::map<unsigned, std::string> seen;
    for (auto const& s : states) seen[s.first] = steadyPart(s.second);
    while (secondsSince(stable) < window) {
        usleep(100000);
        if (!chipsAsExpected(states, &why)) return fail("after the chips had settled: " + why);
        for (auto const& s : states)
            if (seen[s.first] != steadyPart(s.second)) {
                seen[s.first] = steadyPart(s.second);
                stable = Clock::now();
            }
    }
    auto const grace = Clock::now();
    while (!alarmsAsExpected(states, &why)) {
        if (why.empty()) return false;
        if (secondsSince(grace) > 20 / options_.scale + 2) return fail(why);
        usleep(100000);
    }
    if (!modelAsExpected(states, &why) || !tasksAsExpected(&why)) return why.empty() ? false : fail(why);
    std::vector<std::string> const reports = node_.reports();
    if (!reports.empty()) return fail("sanitizer report " + reports.front() + ":\n" + tail(reports.front(), 30));
    return processesLive();
}

// Flat: a task's own threads are the same at its first settle and its last;
// the worker pool grows only with the most requests served at once, which
// the node's size bounds; resident memory grows by less than a quarter (and
// 8 MiB) natively, where no sanitizer keeps freed memory or shadow pages.
bool Soak::flat() {
    for (auto const& c : cards_) {
        if (c.settles < 3) continue;
        std::string const card = "card " + std::to_string(c.index) + " over " + std::to_string(c.settles) + " settles: ";
        if (ownThreads(c.first) != ownThreads(c.last))
            return fail(card + "its threads went from" + names(c.first) + " to" + names(c.last));
        if (c.last.count("ReflectWorker") > kMaxWorkers)
            return fail(card + std::to_string(c.last.count("ReflectWorker")) + " ReflectWorker threads");
#if !defined(__SANITIZE_ADDRESS__) && !defined(__SANITIZE_THREAD__)
        if (c.last.rssKiB > c.first.rssKiB + std::max(c.first.rssKiB / 4, 8192L))
            return fail(card + "its resident memory went from " + std::to_string(c.first.rssKiB) + " to " +
                        std::to_string(c.last.rssKiB) + " KiB");
#endif
    }
    return true;
}

void Soak::summary() {
    double const s = secondsSince(begin_);
    std::printf("card_soak: seed %llu, %u cards, time scale %g, %.0f s: %lu operations (%.0f per minute), %lu settles checked\n",
                static_cast<unsigned long long>(options_.seed), options_.cards, options_.scale, s, operations_,
                operations_ / s * 60, settles_);
    std::printf("  %lu model calls, the longest %.3f s (%s; limit: two transaction periods, %.3f s)\n", modelCalls_,
                longestCall_, longestWhat_.c_str(), 60 / options_.scale);
    std::string kinds;
    for (auto const& k : byKind_) kinds += (kinds.empty() ? "" : ", ") + k.first + " " + std::to_string(k.second);
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
