// The schedule: bursts of operations drawn from the mix by the seed, each
// ending with what the settle needs, generated from the soak's own view of
// the world as the burst will leave it.
#include <sstream>

#include "Soak.h"

namespace soak {

namespace {

constexpr unsigned long kSpareUnit = 100;  // units of no card
constexpr unsigned kSpareFlows = 4;
constexpr unsigned kMaxBystanders = 8;  // per card

std::string str(unsigned long v) { return std::to_string(v); }

}  // namespace

struct Soak::Kind {
    char const* name;
    unsigned weight;
    std::function<void(Soak&, Plan&)> generate;
};

struct Soak::Plan {
    std::vector<Words> ops;
    std::map<unsigned long, FlowRec> flows;
    std::vector<bool> live, faulted;
    std::vector<unsigned long> own;  // per card
    void add(Words w) { ops.push_back(std::move(w)); }
    int cardOf(unsigned long key) const {
        for (size_t i = 0; i < own.size(); ++i)
            if (key && own[i] == key) return int(i);
        return -1;
    }
    unsigned bystanders(unsigned long unit) const {
        unsigned n = 0;
        for (auto const& f : flows) n += f.second.unit == unit && f.second.bystander;
        return n;
    }
};

std::vector<Soak::Kind> const& Soak::mix() {
    static std::vector<Kind> const kinds = {
        {"create", 12, [](Soak& s, Plan& p) { s.genCreate(p); }},
        {"crowd", 3, [](Soak& s, Plan& p) { s.genCrowd(p); }},
        {"recreate", 5, [](Soak& s, Plan& p) { s.genRecreate(p); }},
        {"delete", 7, [](Soak& s, Plan& p) { s.genDelete(p); }},
        {"admin", 14, [](Soak& s, Plan& p) { s.genAdmin(p); }},
        {"master", 6, [](Soak& s, Plan& p) { s.genMaster(p); }},
        {"rate", 6, [](Soak& s, Plan& p) { s.genRate(p); }},
        {"info", 5, [](Soak& s, Plan& p) { s.genInfo(p); }},
        {"perf", 4, [](Soak& s, Plan& p) { s.genPerf(p); }},
        {"lock", 5, [](Soak& s, Plan& p) { s.genChipFault(p, "lock"); }},
        {"kill-api", 4, [](Soak& s, Plan& p) { s.genChipFault(p, "kill-api"); }},
        {"state6", 5, [](Soak& s, Plan& p) { s.genChipFault(p, "state6"); }},
        {"fail-init", 4, [](Soak& s, Plan& p) { s.genChipFault(p, "fail-init"); }},
        {"fail", 4, [](Soak& s, Plan& p) { s.genChipFault(p, "fail"); }},
        {"startup", 4, [](Soak& s, Plan& p) { s.genChipFault(p, "startup"); }},
        {"kill", 3, [](Soak& s, Plan& p) { s.genKill(p); }},
        {"topctl", 6, [](Soak& s, Plan& p) { s.genTopctl(p); }},
        {"model-restart", 0, nullptr},  // a burst of its own, one in twenty (Soak::burst)
    };
    return kinds;
}

std::string Soak::usage() {
    std::string kinds;
    for (auto const& k : mix()) kinds += std::string(kinds.empty() ? "" : " ") + k.name;
    return "usage: card_soak [--seed N] [--seconds S] [--steps N] [--cards 2..4] [--scale F] [--looks N]\n"
           "                 [--without KIND[,KIND...]] [--replay OPERATIONS_LOG] [--keep]\n"
           "kinds: " + kinds + "\n";
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
    if (allowed("model-restart") && chance(20)) {
        queue_ = {{"settle"}, chance(2) ? Words{"model-restart", "term"} : Words{"model-restart"}};
        return;
    }
    Plan p;
    p.flows = flows_;
    for (auto const& c : cards_) {
        p.live.push_back(c.task != nullptr);
        p.faulted.push_back(c.faulted() || c.failures);
        p.own.push_back(c.flow);
    }
    unsigned total = 0;
    for (auto const& k : mix()) total += k.weight;
    for (unsigned n = 1 + pick(10); n > 0; --n) {
        unsigned w = pick(total);
        Kind const* kind = nullptr;
        for (auto const& k : mix()) {
            if (w < k.weight) {
                kind = &k;
                break;
            }
            w -= k.weight;
        }
        if (kind && allowed(kind->name)) kind->generate(*this, p);
        p.add({"gap", gap()});
        // A killed task comes back within the burst or at its end.
        for (auto const& k : cards_)
            if (!p.live[k.index] && chance(3)) {
                static char const* const env[] = {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=2", "TOPADAPTER_TOPDRV_FAIL=init:5:1",
                                                  "TOPADAPTER_TOPDRV_STARTUP_SECONDS=20"};
                Words s{"start", str(k.index)};
                if (chance(3)) s.push_back(env[pick(3)]);
                p.add(s);
                p.live[k.index] = true;
                p.faulted[k.index] = s.size() > 2 && s[2].find("FAIL") != std::string::npos;
            }
    }
    for (auto const& k : cards_) {
        if (!p.live[k.index]) p.add({"start", str(k.index)});
        if (!p.faulted[k.index]) continue;
        p.add({"chip", str(k.index), "clear-fail"});
        if (chance(2)) {
            // Healed: nothing keeps the chip from following the flow again.
            p.add({"chip", str(k.index), "startup-seconds", "3"});
            unsigned long const f = p.own[k.index];
            if (f && p.flows[f].wantsChip()) {
                p.add({"admin", str(f), "0"});
                p.add({"gap", gap()});
                if (chance(2)) p.add({"admin", str(f), "1"});
            } else {
                p.add({"chip", str(k.index), "set-state", "6"});
            }
            p.add({"healed", str(k.index)});
        }
    }
    p.add({"settle"});
    queue_.assign(p.ops.rbegin(), p.ops.rend());
}

namespace {

unsigned long anyFlow(std::map<unsigned long, FlowRec> const& flows, uint32_t r, bool bystanders = true) {
    std::vector<unsigned long> keys;
    for (auto const& f : flows)
        if (bystanders || !f.second.bystander) keys.push_back(f.first);
    return keys.empty() ? 0 : keys[r % keys.size()];
}

}  // namespace

// A flow of a card's unit without one of its own, or standing by beside
// it, or of a unit of no card.
void Soak::genCreate(Plan& p) {
    std::vector<unsigned long> units;
    for (size_t i = 0; i < p.own.size(); ++i)
        if (!p.own[i] || p.bystanders(i + 1) < kMaxBystanders) units.push_back(i + 1);
    unsigned spare = 0;
    for (auto const& f : p.flows) spare += f.second.own() ? 0 : 1;
    if (spare < kSpareFlows) units.push_back(kSpareUnit + pick(50));
    if (units.empty()) return;
    FlowRec f;
    f.unit = units[pick(unsigned(units.size()))];
    f.bystander = f.own() && p.own[f.unit - 1];
    f.admin = f.bystander || chance(4) ? 0 : 1;
    f.master = chance(7) ? 0 : (10u << 24 | pick(1u << 24));
    unsigned long const k = nextKey_ + p.ops.size();  // a fresh key: only a recreate uses one again
    if (f.own() && !f.bystander) p.own[f.unit - 1] = k;
    p.flows[k] = f;
    p.add({"create", str(k), str(f.unit), str(f.admin), ipText(f.master)});
}

// Flows of one unit created back to back, as a card full of them is.
void Soak::genCrowd(Plan& p) {
    unsigned const card = pick(unsigned(p.own.size()));
    for (unsigned n = 2 + pick(4); n > 0 && p.bystanders(card + 1) < kMaxBystanders; --n) {
        FlowRec f;
        f.unit = card + 1;
        f.bystander = p.own[card] != 0;
        f.admin = f.bystander ? 0 : 1;
        f.master = 10u << 24 | pick(1u << 24);
        unsigned long const k = nextKey_ + p.ops.size();
        if (!f.bystander) p.own[card] = k;
        p.flows[k] = f;
        p.add({"create", str(k), str(f.unit), str(f.admin), ipText(f.master)});
    }
}

// A card's flow deleted by an operator and created anew by the soak on
// the same unit under the same key, the deletion still under way.
void Soak::genRecreate(Plan& p) {
    std::vector<unsigned> cards;
    for (size_t i = 0; i < p.own.size(); ++i)
        if (p.own[i]) cards.push_back(unsigned(i));
    if (cards.empty()) return;
    unsigned const c = cards[pick(unsigned(cards.size()))];
    unsigned long const k = p.own[c];
    FlowRec& f = p.flows[k];
    f.admin = chance(5) ? 0 : 1;
    f.master = chance(9) ? 0 : (10u << 24 | pick(1u << 24));
    f.rate = 0;
    static char const* const soon[] = {"0", "0", "1", "3", "10"};
    p.add({"recreate", str(k), str(f.unit), str(f.admin), ipText(f.master), soon[pick(5)]});
}

void Soak::genDelete(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    if (!key) return;
    if (p.cardOf(key) >= 0) p.own[size_t(p.cardOf(key))] = 0;
    p.flows.erase(key);
    p.add({"delete", str(key)});
}

// The value it has (now and then), then one to three toggles at random gaps:
// the last one stays. A flow standing by stays locked.
void Soak::genAdmin(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30), false);
    if (!key) return;
    FlowRec& f = p.flows[key];
    if (chance(5)) p.add({"admin", str(key), str(f.admin)});
    for (unsigned t = 1 + pick(3); t > 0; --t) {
        f.admin = !f.admin;
        p.add({"admin", str(key), str(f.admin)});
        if (t > 1) p.add({"gap", gap()});
    }
}

void Soak::genMaster(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    if (!key) return;
    p.flows[key].master = 10u << 24 | (1 + pick((1u << 24) - 1));
    p.add({"master", str(key), ipText(p.flows[key].master)});
}

void Soak::genRate(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    if (key) p.add({"rate", str(key), std::to_string(int(pick(12)) - 7)});
}

// Asked while the chip starts, now and then.
void Soak::genInfo(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    if (!key) return;
    if (p.cardOf(key) >= 0 && chance(2) && p.flows[key].wantsChip()) {
        static char const* const soon[] = {"0", "5", "30", "100"};
        p.add({"admin", str(key), "0"});
        p.add({"admin", str(key), "1"});
        p.add({"gap", soon[pick(4)]});
    }
    p.add({"info", str(key)});
}

void Soak::genPerf(Plan& p) {
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    static char const* const commands[] = {"1", "2", "8"};
    if (key) p.add({"perf", str(key), commands[pick(3)]});
}

void Soak::genChipFault(Plan& p, std::string const& kind) {
    std::vector<unsigned> pool;
    for (size_t i = 0; i < p.live.size(); ++i)
        if (p.live[i]) pool.push_back(unsigned(i));
    if (pool.empty()) return;
    unsigned const c = pool[pick(unsigned(pool.size()))];
    static char const* const fns[] = {"deinit", "getStateInfo", "getLockState", "getApiState",
                                      "getMasterClockState", "setMasterIp", "setMessageRate", "getSLS"};
    static char const* const what[] = {"lock", "lock", "clock", "service"};
    unsigned long const k = p.own[c];
    std::string const card = str(c);
    // Half of the faults meet the card's chip while it starts.
    if (k && kind != "startup" && chance(2) && p.flows[k].wantsChip()) {
        static char const* const soon[] = {"0", "5", "30", "100"};
        p.add({"admin", str(k), "0"});
        p.add({"admin", str(k), "1"});
        p.add({"gap", soon[pick(4)]});
    }
    if (kind == "lock")
        p.add({"chip", card, what[pick(4)], chance(2) ? "0" : "auto"});
    else if (kind == "kill-api")
        p.add({"chip", card, "kill-api"});
    else if (kind == "state6")
        p.add({"chip", card, "set-state", "6"});
    else if (kind == "fail-init")
        p.add({"chip", card, "fail", "init", "5", "1"});
    else if (kind == "fail")
        p.add({"chip", card, "fail", fns[pick(8)], "7", str(1 + pick(3))});
    else
        p.add({"chip", card, "startup-seconds", chance(2) ? "1000000" : "20"});
    p.faulted[c] = p.faulted[c] || kind == "state6" || kind == "fail-init" || kind == "fail" || kind == "startup";
    // What meets the fault: the card's flow toggled off and on.
    if (k && (kind == "fail-init" || kind == "fail" || kind == "startup")) {
        p.add({"gap", gap()});
        p.add({"admin", str(k), str(!p.flows[k].admin)});
        p.add({"gap", gap()});
        p.add({"admin", str(k), str(p.flows[k].admin)});
    }
}

void Soak::genKill(Plan& p) {
    std::vector<unsigned> pool;
    for (size_t i = 1; i < p.live.size(); ++i)
        if (p.live[i]) pool.push_back(unsigned(i));
    if (pool.empty()) return;
    unsigned const c = pool[pick(unsigned(pool.size()))];
    p.add(chance(2) ? Words{"kill", str(c), "term"} : Words{"kill", str(c)});
    p.live[c] = false;
    p.faulted[c] = false;
}

void Soak::genTopctl(Plan& p) {
    static char const* const commands[] = {"flows", "alarms", "orb", "perf", "json", "chip"};
    std::string const what = commands[pick(6)];
    unsigned long const key = anyFlow(p.flows, pick(1u << 30));
    Words w{"topctl", chance(3) ? str(pick(400)) : "-1"};
    if (what == "perf" && key)
        w.insert(w.end(), {"perf", str(key)});
    else if (what == "chip")
        w.insert(w.end(), {"chip", "-n", "topAdapter-" + str(pick(unsigned(p.own.size()))), "state"});
    else if (what == "json")
        w.insert(w.end(), {"flows", "--json"});
    else
        w.push_back(what == "perf" ? "flows" : what);
    p.add(w);
}

}  // namespace soak
