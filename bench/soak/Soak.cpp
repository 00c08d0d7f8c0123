#include "Soak.h"

#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <sstream>

#include "Diag.h"
#include "ModelControlClient.h"
#include "REFLECT_orb.h"

namespace soak {

namespace {

constexpr unsigned long kSpareUnit = 100;  // units of no card
constexpr unsigned kSpareFlows = 4;

std::string join(Words const& w, size_t from = 0) {
    std::string s;
    for (size_t i = from; i < w.size(); ++i) s += (i > from ? " " : "") + w[i];
    return s;
}

std::string ipText(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

uint32_t ipValue(std::string const& text) {
    unsigned b[4] = {0, 0, 0, 0};
    std::sscanf(text.c_str(), "%u.%u.%u.%u", &b[0], &b[1], &b[2], &b[3]);
    return b[0] << 24 | (b[1] & 255) << 16 | (b[2] & 255) << 8 | (b[3] & 255);
}

TipprmiArray<short, 4> ipArray(uint32_t a) {
    TipprmiArray<short, 4> x;
    for (int i = 0; i < 4; ++i) x[i] = short(a >> (24 - 8 * i) & 255);
    return x;
}

unsigned long number(std::string const& s) { return std::strtoul(s.c_str(), nullptr, 10); }

unsigned cardsOfUnits = 0;

}  // namespace

bool FlowRec::own() const { return unit >= 1 && unit <= cardsOfUnits; }

Soak::Soak(Options const& options) : options_(options), rng_(options.seed), node_(options.scale) {
    cardsOfUnits = options.cards;
    cards_.resize(options.cards);
    for (unsigned i = 0; i < options.cards; ++i) {
        CardRec& c = cards_[i];
        c.index = i;
        c.unit = i + 1;
        c.term = Transport::TerminationId(Transport::IdInfo::nameIdOf("topAdapter-" + std::to_string(i)),
                                          static_cast<unsigned char>(i + 2), Transport::GroupId(1));
    }
}

Soak::~Soak() {
    done_ = true;
    if (watchdog_.joinable()) watchdog_.join();
    RunPermissionGuard g;
    delete control_;
}

// ---- the schedule ----

std::string Soak::gap() {
    static char const* const ms[] = {"0", "0", "5", "30", "100", "300", "800", "1500"};
    return ms[pick(8)];
}

Words Soak::next() {
    if (!options_.replay.empty()) {
        while (scriptAt_ < script_.size()) {
            std::istringstream in(script_[scriptAt_++]);
            Words w;
            for (std::string s; in >> s;) w.push_back(s);
            if (!w.empty() && w[0][0] != '#') return w;
        }
        return {};
    }
    if (queue_.empty()) burst();
    Words w = queue_.back();
    queue_.pop_back();
    return w;
}

// One burst of operations, then what the settle needs: every card's task
// running, the failures cleared, half of the faulted cards healed.
void Soak::burst() {
    std::vector<Words> ops;
    auto add = [&](Words w) { ops.push_back(std::move(w)); };
    if (allowed("model-restart") && chance(20)) {
        add({"model-restart"});
        add({"settle"});
        queue_.assign(ops.rbegin(), ops.rend());
        return;
    }
    // The soak's own view of the world as the burst will leave it.
    std::map<unsigned long, FlowRec> flows = flows_;
    std::vector<bool> live(cards_.size()), faulted(cards_.size());
    std::vector<unsigned long> own(cards_.size());
    for (auto const& c : cards_) {
        live[c.index] = c.task != nullptr;
        faulted[c.index] = c.tainted() || c.failures;
        own[c.index] = c.flow;
    }
    auto liveCard = [&] {
        std::vector<unsigned> pool;
        for (auto const& c : cards_)
            if (live[c.index]) pool.push_back(c.index);
        return pool.empty() ? -1 : int(pool[pick(unsigned(pool.size()))]);
    };
    auto flow = [&]() -> unsigned long {
        if (flows.empty()) return 0;
        auto it = flows.begin();
        std::advance(it, pick(unsigned(flows.size())));
        return it->first;
    };
    auto cardOf = [&](unsigned long key) {
        for (size_t i = 0; i < own.size(); ++i)
            if (own[i] == key && key) return int(i);
        return -1;
    };
    // The flow's chip configured afresh, unless the flow keeps it stopped.
    auto restart = [&](unsigned long k) {
        if (flows[k].admin != 1 || !flows[k].master) return;
        add({"admin", std::to_string(k), "0"});
        add({"admin", std::to_string(k), "1"});
        static char const* const soon[] = {"0", "5", "30", "100"};
        add({"gap", soon[pick(4)]});
    };
    // Kind and weight of every operation of the mix.
    static std::vector<std::pair<char const*, unsigned>> const mix = {
        {"create", 12}, {"delete", 7}, {"admin", 14}, {"master", 6}, {"rate", 6}, {"info", 5}, {"perf", 4},
        {"lock", 5}, {"kill-api", 4}, {"state6", 5}, {"fail-init", 4}, {"fail", 4}, {"startup", 4}, {"kill", 3},
        {"topctl", 6}};
    unsigned total = 0;
    for (auto const& m : mix) total += m.second;
    for (unsigned n = 1 + pick(10); n > 0; --n) {
        unsigned w = pick(total);
        std::string kind;
        for (auto const& m : mix) {
            if (w < m.second) {
                kind = m.first;
                break;
            }
            w -= m.second;
        }
        if (!allowed(kind)) continue;
        unsigned long const key = flow();
        int const c = liveCard();
        if (kind == "create") {
            std::vector<unsigned long> units;
            for (size_t i = 0; i < own.size(); ++i)
                if (!own[i]) units.push_back(i + 1);
            unsigned spare = 0;
            for (auto const& f : flows) spare += f.second.own() ? 0 : 1;
            if (spare < kSpareFlows) units.push_back(kSpareUnit + pick(50));
            if (units.empty()) continue;
            FlowRec f;
            f.unit = units[pick(unsigned(units.size()))];
            f.admin = chance(4) ? 0 : 1;
            f.master = chance(7) ? 0 : (10u << 24 | pick(1u << 24));
            unsigned long const k = nextKey_ + ops.size();  // keys are never used twice
            if (f.own()) own[f.unit - 1] = k;
            flows[k] = f;
            add({"create", std::to_string(k), std::to_string(f.unit), std::to_string(f.admin), ipText(f.master)});
        } else if (kind == "delete" && key) {
            if (cardOf(key) >= 0) own[size_t(cardOf(key))] = 0;
            flows.erase(key);
            add({"delete", std::to_string(key)});
        } else if (kind == "admin" && key) {
            // The value it has (now and then), then one to three toggles at random gaps: the last one stays.
            if (chance(5)) add({"admin", std::to_string(key), std::to_string(flows[key].admin)});
            for (unsigned t = 1 + pick(3); t > 0; --t) {
                flows[key].admin = !flows[key].admin;
                add({"admin", std::to_string(key), std::to_string(flows[key].admin)});
                if (t > 1) add({"gap", gap()});
            }
        } else if (kind == "master" && key) {
            flows[key].master = 10u << 24 | (1 + pick((1u << 24) - 1));
            add({"master", std::to_string(key), ipText(flows[key].master)});
        } else if (kind == "rate" && key) {
            add({"rate", std::to_string(key), std::to_string(int(pick(12)) - 7)});
        } else if (kind == "info" && key) {
            if (cardOf(key) >= 0 && chance(2)) restart(key);
            add({"info", std::to_string(key)});
        } else if (kind == "perf" && key) {
            static char const* const commands[] = {"1", "2", "8"};
            add({"perf", std::to_string(key), commands[pick(3)]});
        } else if (c >= 0 && (kind == "lock" || kind == "kill-api" || kind == "state6" || kind == "fail-init" ||
                              kind == "fail" || kind == "startup")) {
            static char const* const fns[] = {"deinit", "getStateInfo", "getLockState", "getApiState",
                                              "getMasterClockState", "setMasterIp", "setMessageRate", "getSLS"};
            static char const* const what[] = {"lock", "lock", "clock", "service"};
            unsigned long const k = own[size_t(c)];
            std::string const card = std::to_string(c);
            // Half of the faults meet the card's chip while it starts.
            if (k && kind != "startup" && chance(2)) restart(k);
            if (kind == "lock")
                add({"chip", card, what[pick(4)], chance(2) ? "0" : "auto"});
            else if (kind == "kill-api")
                add({"chip", card, "kill-api"});
            else if (kind == "state6")
                add({"chip", card, "set-state", "6"});
            else if (kind == "fail-init")
                add({"chip", card, "fail", "init", "5", "1"});
            else if (kind == "fail")
                add({"chip", card, "fail", fns[pick(8)], "7", std::to_string(1 + pick(3))});
            else
                add({"chip", card, "startup-seconds", chance(2) ? "1000000" : "20"});
            faulted[size_t(c)] = faulted[size_t(c)] || kind == "state6" || kind == "fail-init" || kind == "fail" || kind == "startup";
            // What meets the fault: the card's flow toggled off and on.
            if (k && (kind == "fail-init" || kind == "fail" || kind == "startup")) {
                add({"gap", gap()});
                add({"admin", std::to_string(k), std::to_string(!flows[k].admin)});
                add({"gap", gap()});
                add({"admin", std::to_string(k), std::to_string(flows[k].admin)});
            }
        } else if (c > 0 && kind == "kill") {
            add({"kill", std::to_string(c)});
            live[size_t(c)] = false;
            faulted[size_t(c)] = false;
        } else if (kind == "topctl") {
            static char const* const commands[] = {"flows", "alarms", "orb", "perf", "json", "chip"};
            std::string const what = commands[pick(6)];
            Words w{"topctl", chance(3) ? std::to_string(pick(400)) : "-1"};
            if (what == "perf" && key)
                w.insert(w.end(), {"perf", std::to_string(key)});
            else if (what == "chip" && c >= 0)
                w.insert(w.end(), {"chip", "-n", "topAdapter-" + std::to_string(c), "state"});
            else if (what == "json")
                w.insert(w.end(), {"flows", "--json"});
            else
                w.push_back(what == "perf" || what == "chip" ? "flows" : what);
            add(w);
        }
        add({"gap", gap()});
        // A killed task comes back within the burst or at its end.
        for (auto const& k : cards_)
            if (!live[k.index] && chance(3)) {
                static char const* const env[] = {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=2", "TOPADAPTER_TOPDRV_FAIL=init:5:1",
                                                  "TOPADAPTER_TOPDRV_STARTUP_SECONDS=20"};
                Words w{"start", std::to_string(k.index)};
                if (chance(3)) w.push_back(env[pick(3)]);
                add(w);
                live[k.index] = true;
                faulted[k.index] = w.size() > 2 && w[2].find("FAIL") != std::string::npos;
            }
    }
    for (auto const& k : cards_) {
        if (!live[k.index]) add({"start", std::to_string(k.index)});
        if (!faulted[k.index]) continue;
        add({"chip", std::to_string(k.index), "clear-fail"});
        if (chance(2)) {
            // Healed: nothing keeps the chip from following the flow again.
            add({"chip", std::to_string(k.index), "startup-seconds", "3"});
            unsigned long const f = own[k.index];
            if (f && flows[f].admin == 1 && flows[f].master) {
                add({"admin", std::to_string(f), "0"});
                add({"gap", gap()});
                if (chance(2)) add({"admin", std::to_string(f), "1"});
            } else {
                add({"chip", std::to_string(k.index), "set-state", "6"});
            }
            add({"healed", std::to_string(k.index)});
        }
    }
    add({"settle"});
    queue_.assign(ops.rbegin(), ops.rend());
}

// ---- operations ----

bool Soak::callFailed(char const* what) {
    if (callErrors_ == errorsSeen_) return false;
    errorsSeen_ = callErrors_;
    return !fail(std::string("model call ") + what + " failed: " + lastCallError_);
}

bool Soak::startModel() {
    Words args;
    for (auto const& f : flows_)
        args.insert(args.end(), {"--flow", std::to_string(f.first) + ":" + std::to_string(f.second.unit) + ":" +
                                               std::to_string(f.second.admin) + ":" + ipText(f.second.master) + ":" +
                                               std::to_string(f.second.rate)});
    model_ = node_.spawn("topmodel." + std::to_string(++instances_), BENCH_BIN_DIR "/topmodel", args,
                         {"TOPADAPTER_ACTOR=topmodel"});
    if (!model_ || !Node::waitForText(model_->out, "READY", 20)) return fail("the model did not start");
    // This process may learn of the model's termination a little after the model is READY.
    auto const t = Clock::now();
    for (;;) {
        {
            RunPermissionGuard g;
            delete control_;
            control_ = new ModelControlClient(TipprmiOID(ModelControlClient::NAME));
            if (control_->isConnected()) return errorsSeen_ = callErrors_, true;
        }
        if (secondsSince(t) > 10) return fail("the model's control object is not reachable");
        usleep(20000);
    }
}

bool Soak::startTask(CardRec& c, Words const& env) {
    std::string const actor = "topAdapter-" + std::to_string(c.index);
    Words vars{"TOPADAPTER_ACTOR=" + actor, "TOPADAPTER_SLOT=" + std::to_string(c.index + 2),
               "TOPADAPTER_UNIT=" + std::to_string(c.unit), "TOPADAPTER_TRACE_MASK=0xffffffff",
               "TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0", "TOPADAPTER_TOPDRV_SEED=" + std::to_string(c.index + 1)};
    vars.insert(vars.end(), env.begin(), env.end());
    c.task = node_.spawn(actor + "." + std::to_string(++c.instance), BENCH_BIN_DIR "/topAdapter", {}, vars);
    c.logSeen = 0;
    c.settles = 0;
    c.expect = CardRec::Clean;
    c.failures = c.forced = false;
    c.initFailures = 0;
    c.startupSeconds = 3;
    for (auto const& e : env) {
        if (e == "TOPADAPTER_TOPDRV_FAIL=init:5:1") c.initFailures = 1;
        else if (e.find("FAIL") != std::string::npos) c.expect = CardRec::Unknown;
        c.failures = c.failures || e.find("FAIL") != std::string::npos;
        if (e.find("STARTUP_SECONDS=") != std::string::npos) c.startupSeconds = std::atof(e.c_str() + e.find('=') + 1);
    }
    // The task adopts the card's flow as it starts.
    if (c.flow && flows_[c.flow].admin == 1 && flows_[c.flow].master) initDue(c);
    return (c.task && Node::waitForText(c.task->log, "Card Ready entering main processing loop", 30)) ||
           fail("the task of card " + std::to_string(c.index) + " did not start");
}

uint64_t Soak::lastCall(CardRec const& c, char const* fn) {
    std::istringstream j(Node::chip(c.task->pid, "journal 64"));
    uint64_t last = 0;
    for (std::string l; std::getline(j, l);)
        if (l.compare(0, 3, "ok ") != 0 && (!fn || l.find(fn) != std::string::npos)) last = std::strtoull(l.c_str(), nullptr, 10);
    return last;
}

void Soak::initDue(CardRec& c) {
    if (!c.task || !c.initFailures || c.expect == CardRec::Unknown) return;
    --c.initFailures;
    c.expect = CardRec::Stopped;
}

CardRec* Soak::cardOfFlow(unsigned long key) {
    for (auto& c : cards_)
        if (c.flow == key) return &c;
    return nullptr;
}

bool Soak::killTask(CardRec& c) {
    node_.kill(c.task);
    c.task = nullptr;
    auto const t = Clock::now();
    while (Node::exists(c.term))
        if (secondsSince(t) > 5) return fail("card " + std::to_string(c.index) + "'s termination outlived its task");
        else usleep(10000);
    return true;
}

// Driver information asked of a flow whose driver is not ready is what the
// model held before.
bool Soak::infoUnchanged(unsigned long key) {
    auto stored = [&] {
        TipprmiSequence<ModelControlClient::FlowState> all = call("getFlows", [](ModelControlClient& m) { return m.getFlows(); });
        for (unsigned long i = 0; i < all.getLength(); ++i)
            if (all[i].key == key) return all[i].driverInfo;
        return TopFlowClient::DriverInfo();
    };
    CardRec* card = nullptr;
    for (auto& c : cards_)
        if (c.flow == key && c.task) card = &c;
    auto running = [&] { return card && Node::chip(card->task->pid, "state").find("ok state=0 ") == 0; };
    TopFlowClient::DriverInfo const before = stored();
    bool const wasRunning = running();
    TopFlowClient::DriverInfo const got = call("requestDriverInfo", [&](ModelControlClient& m) { return m.requestDriverInfo(key); });
    if (callFailed("requestDriverInfo")) return false;
    if (wasRunning || running()) return true;
    return (got.masterLockState == before.masterLockState && got.masterClockState == before.masterClockState) ||
           fail("flow " + std::to_string(key) + ": driver information changed while its driver was not running (lock " +
                std::to_string(before.masterLockState) + " -> " + std::to_string(got.masterLockState) + ", clock " +
                std::to_string(int(before.masterClockState)) + " -> " + std::to_string(int(got.masterClockState)) + ")");
}

bool Soak::execute(Words const& op) {
    std::string const& k = op[0];
    auto key = [&] { return op.size() > 1 ? number(op[1]) : 0ul; };
    auto known = [&] { return flows_.count(key()) != 0; };
    auto cardAt = [&]() -> CardRec* {
        unsigned long const i = op.size() > 1 ? number(op[1]) : ~0ul;
        return i < cards_.size() ? &cards_[i] : nullptr;
    };
    if (k == "gap") {
        usleep(useconds_t(number(op.at(1)) * 1000));
    } else if (k == "settle") {
        return settle();
    } else if (k == "create" && op.size() == 5 && !known()) {
        FlowRec f;
        f.unit = number(op[2]);
        f.admin = long(number(op[3]));
        f.master = ipValue(op[4]);
        flows_[key()] = f;
        nextKey_ = std::max(nextKey_, key() + 1);
        if (f.own()) cards_[f.unit - 1].flow = key();
        if (f.own() && f.admin == 1 && f.master) initDue(cards_[f.unit - 1]);
        bool const made = call("createFlow", [&](ModelControlClient& m) {
            return m.createFlow(key(), f.unit, f.admin, ipArray(f.master)).isConnected();
        });
        return !callFailed("createFlow") && (made || fail("createFlow refused flow " + op[1]));
    } else if (k == "delete" && known()) {
        if (CardRec* c = cardOfFlow(key())) {
            c->flow = 0;
            if (c->expect == CardRec::Stopped) c->expect = CardRec::Clean;
        }
        flows_.erase(key());
        bool const gone = call("deleteFlow", [&](ModelControlClient& m) { return m.deleteFlow(key()); });
        return !callFailed("deleteFlow") && (gone || fail("deleteFlow refused flow " + op[1]));
    } else if (k == "admin" && known()) {
        FlowRec& f = flows_[key()];
        long const was = f.admin;
        f.admin = long(number(op.at(2)));
        if (CardRec* c = cardOfFlow(key())) {
            // Disabled, the adapter starts afresh at the next enable.
            if (f.admin != 1 && c->expect == CardRec::Stopped) c->expect = CardRec::Clean;
            if (f.admin == 1 && was != 1 && f.master) initDue(*c);
        }
        // The value it had: the task neither configures nor stops the chip (observers are told before the call returns).
        CardRec* c = cardOfFlow(key());
        bool const same = was == f.admin && c && c->task && !c->tainted() && !c->revive;
        uint64_t const mark = same ? lastCall(*c) : 0;
        call("setAdminState", [&](ModelControlClient& m) { return m.setAdminState(key(), flows_[key()].admin); });
        if (callFailed("setAdminState")) return false;
        if (same && (lastCall(*c, "topDrvAdapIf_init(") > mark || lastCall(*c, "topDrvAdapIf_deinit(") > mark))
            return fail("flow " + op[1] + ": its administrative state set to the value it had made the task configure or stop its chip");
        return true;
    } else if (k == "master" && known()) {
        uint32_t const was = flows_[key()].master;
        flows_[key()].master = ipValue(op.at(2));
        if (CardRec* c = cardOfFlow(key()))
            if (!was && flows_[key()].master && flows_[key()].admin == 1) initDue(*c);
        call("setMasterIp", [&](ModelControlClient& m) { return m.setMasterIp(key(), ipArray(flows_[key()].master)); });
        return !callFailed("setMasterIp");
    } else if (k == "rate" && known()) {
        flows_[key()].rate = short(std::atoi(op.at(2).c_str()));
        call("setLogMeanSyncValue", [&](ModelControlClient& m) { return m.setLogMeanSyncValue(key(), flows_[key()].rate); });
        return !callFailed("setLogMeanSyncValue");
    } else if (k == "info" && known()) {
        return infoUnchanged(key());
    } else if (k == "perf" && known()) {
        TipprmiSequence<unsigned long> idents;
        for (unsigned long i = 1; i <= 5; ++i) idents.push_back(i);
        call("triggerPerformance", [&](ModelControlClient& m) {
            m.triggerPerformance(key(), idents, number(op.at(2)));
            return true;
        });
        return !callFailed("triggerPerformance");
    } else if (k == "chip" && cardAt() && cardAt()->task && op.size() > 2) {
        CardRec& c = *cardAt();
        std::string const command = join(op, 2);
        std::string const reply = Node::chip(c.task->pid, command);
        if (reply.compare(0, 2, "ok") != 0)
            return fail("card " + op[1] + "'s chip refused '" + command + "': " + (reply.empty() ? "no answer" : reply));
        FlowRec const* f = c.flow ? &flows_[c.flow] : nullptr;
        bool const running = f && f->admin == 1 && f->master;
        // A revive of a dead API configures the chip at a time of its own.
        bool const apiDead = Node::chip(c.task->pid, "state").find("api-dead=1") != std::string::npos;
        if (op[2] == "fail") {
            c.failures = c.forced = true;
            if (op.at(3) == "init" && op.size() == 6 && !apiDead)
                c.initFailures += unsigned(number(op[5]));
            else
                c.expect = CardRec::Unknown;
        }
        if (op[2] == "kill-api" && c.initFailures) c.expect = CardRec::Unknown;
        c.revive = c.revive || op[2] == "kill-api";
        if (op[2] == "clear-fail") {
            c.failures = false;
            c.initFailures = 0;
        }
        if (op[2] == "set-state") {
            c.forced = true;
            if (op.at(3) != "6") c.expect = CardRec::Unknown;
            else if (running && c.expect == CardRec::Clean) c.expect = CardRec::Stopped;
        }
        if (op[2] == "startup-seconds") {
            c.startupSeconds = std::atof(op.at(3).c_str());
            if (c.startupSeconds > 1000) c.expect = CardRec::Unknown;
        }
    } else if (k == "healed" && cardAt()) {
        cardAt()->expect = CardRec::Clean;
    } else if (k == "kill" && cardAt() && cardAt()->task && cardAt()->index > 0) {
        return killTask(*cardAt());
    } else if (k == "start" && cardAt() && !cardAt()->task) {
        return startTask(*cardAt(), Words(op.begin() + 2, op.end()));
    } else if (k == "model-restart") {
        for (auto& c : cards_) {
            std::string const j = c.task ? Node::chip(c.task->pid, "journal 1") : "";
            size_t const nl = j.find('\n');
            c.journalMark = nl == std::string::npos ? 0 : std::strtoull(j.c_str() + nl + 1, nullptr, 10);
        }
        node_.kill(model_);
        auto const t = Clock::now();
        while (Node::exists(Transport::TerminationId(Transport::IdInfo::nameIdOf("topmodel"), 1, Transport::GroupId(1))))
            if (secondsSince(t) > 5) return fail("the model's termination outlived it");
            else usleep(10000);
        recovering_ = true;
        return startModel();
    } else if (k == "topctl" && op.size() > 2) {
        Words args(op.begin() + 2, op.end());
        Child* c = node_.spawn("topctl." + std::to_string(++instances_), BENCH_BIN_DIR "/topctl", args, {});
        if (!c) return fail("topctl did not start");
        clients_.push_back(c);
        if (op[1] != "-1") {
            usleep(useconds_t(number(op[1]) * 1000));
            node_.kill(c);
        }
    } else {
        // A replayed log with lines removed may name what is no more.
        std::fprintf(stderr, "soak: step %lu skipped: %s\n", step_, join(op).c_str());
    }
    return true;
}

int Soak::run() {
    begin_ = Clock::now();
    if (!options_.replay.empty()) {
        std::ifstream in(options_.replay);
        for (std::string line; std::getline(in, line);) script_.push_back(line);
        if (script_.empty()) return std::fprintf(stderr, "soak: nothing to replay in %s\n", options_.replay.c_str()), 2;
    }
    ::setenv("TOPADAPTER_ACTOR", "soak", 1);
    ::setenv("TOPADAPTER_QUIET", "1", 0);
    if (!node_.start()) return std::fprintf(stderr, "soak: the node did not start\n"), 1;
    ::setenv("TOPADAPTER_NAME_ID", std::to_string(Transport::IdInfo::nameIdOf("soak")).c_str(), 1);
    Transport::IdInfo::instance().reload();
    opLog_.open(node_.dir() + "/operations.log");
    std::printf("card_soak: the node, its logs and the operation log in %s\n", node_.dir().c_str());
    std::fflush(stdout);
    unsigned long const self = diag::currentThreadId();
    diag::setCaptureSink([this, self](diag::Record const& r) {
        if (!r.isError() || r.thread != self) return;
        lastCallError_ = r.file + ":" + std::to_string(r.line) + " " + r.text;
        ++callErrors_;
    });
    TreflectORB::getInstance(NSID_UNIT);
    // A model call that never returns ends the run with the schedule that led there.
    watchdog_ = std::thread([this] {
        while (!done_) {
            int64_t const started = callStarted_;
            double const limit = 60 / options_.scale + 30;
            if (started && std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - started / 1e9 > limit) {
                fail("a model call has not returned after " + std::to_string(int(limit)) + " s");
                std::fflush(stdout);
                ::_exit(1);  // the children die with the soak
            }
            usleep(200000);
        }
    });
    bool ok = startModel();
    for (auto& c : cards_) ok = ok && startTask(c, {});
    bool finishing = false;
    while (ok) {
        bool const timeUp = options_.steps ? step_ >= options_.steps : secondsSince(begin_) >= options_.seconds;
        // The run ends with a settle, so that its last operations are checked too.
        if (timeUp && options_.replay.empty()) {
            if (options_.steps && !finishing)
                queue_ = {{"settle"}};
            else if (queue_.empty())
                break;
            finishing = true;
        }
        Words const op = next();
        if (op.empty()) break;
        char line[32];
        std::snprintf(line, sizeof line, "%6lu %7.2f ", ++step_, secondsSince(begin_));
        opLog_ << line << join(op) << "\n" << std::flush;
        recent_.push_back(line + join(op));
        if (recent_.size() > 80) recent_.erase(recent_.begin());
        if (op[0] != "gap" && op[0] != "settle" && op[0] != "healed") {
            ++operations_;
            ++byKind_[op[0] == "chip" && op.size() > 2 ? "chip " + op[2] : op[0]];
        }
        ok = execute(op);
    }
    if (ok) ok = clientsDone(true) && processesLive() && flat();
    done_ = true;
    summary();
    if (!options_.keep) node_.removeDirectory();
    return ok ? 0 : 1;
}

}  // namespace soak

int main(int argc, char** argv) {
    soak::Options o;
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        char const* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--keep") {
            o.keep = true;
            continue;
        }
        if (!v) {
            std::fprintf(stderr,
                         "usage: card_soak [--seed N] [--seconds S] [--steps N] [--cards 2..4] [--scale F]\n"
                         "                 [--without KIND[,KIND...]] [--replay OPERATIONS_LOG] [--tolerate DRIVER_FUNCTION] [--keep]\n"
                         "kinds: create delete admin master rate info perf lock kill-api state6 fail-init fail\n"
                         "       startup kill topctl model-restart\n");
            return 2;
        }
        ++i;
        if (a == "--seed") o.seed = std::strtoull(v, nullptr, 0);
        else if (a == "--seconds") o.seconds = std::atof(v);
        else if (a == "--steps") o.steps = std::strtoul(v, nullptr, 10);
        else if (a == "--cards") o.cards = unsigned(std::atoi(v));
        else if (a == "--scale") o.scale = std::atof(v);
        else if (a == "--replay") o.replay = v;
        else if (a == "--tolerate") o.tolerate = v;
        else if (a == "--without") {
            std::istringstream in(v);
            for (std::string k; std::getline(in, k, ',');) o.without.insert(k);
        } else {
            std::fprintf(stderr, "card_soak: unknown option %s\n", a.c_str());
            return 2;
        }
    }
    if (o.cards < 2 || o.cards > 4 || o.scale < 1 || o.seconds <= 0) {
        std::fprintf(stderr, "card_soak: 2..4 cards, a time scale >= 1 and a positive duration\n");
        return 2;
    }
    soak::Soak s(o);
    return s.run();
}
