#include "Soak.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <sstream>

#include "Diag.h"
#include "ModelControlClient.h"
#include "REFLECT_orb.h"
#include "SoakLooks.h"
#include "topDrvAdapIf.h"

namespace soak {

namespace {

// As many chip calls as the chip's journal keeps.
constexpr unsigned kJournalWindow = 4096;

std::string join(Words const& w, size_t from = 0) {
    std::string s;
    for (size_t i = from; i < w.size(); ++i) s += (i > from ? " " : "") + w[i];
    return s;
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
std::string str(unsigned long v) { return std::to_string(v); }

unsigned cardsOfUnits = 0;

// The driver functions that a chip in another state than the adapter
// believes refuses: a fault that changes the state behind the adapter's
// back explains their refusals.
std::set<std::string> const kRunningOnly = {"topDrvAdapIf_deinit",          "topDrvAdapIf_getApiState",
                                            "topDrvAdapIf_getLockState",    "topDrvAdapIf_getMasterClockState",
                                            "topDrvAdapIf_getMasterServiceState", "topDrvAdapIf_setMasterIp",
                                            "topDrvAdapIf_setMessageRate",  "topDrvAdapIf_getPhaseError",
                                            "topDrvAdapIf_getSLS",          "topDrvAdapIf_getNoRxSyncMsg"};

}  // namespace

std::string ipText(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string(a >> 16 & 255) + "." + std::to_string(a >> 8 & 255) + "." +
           std::to_string(a & 255);
}

bool FlowRec::own() const { return unit >= 1 && unit <= cardsOfUnits; }

struct Soak::Executor {
    char const* word;
    void (Soak::*execute)(Words const&);
};


std::vector<Soak::Executor> const& Soak::executors() {
    static std::vector<Executor> const all = {
        {"gap", &Soak::opGap},         {"create", &Soak::opCreate},   {"recreate", &Soak::opRecreate},
        {"delete", &Soak::opDelete},   {"admin", &Soak::opAdmin},     {"master", &Soak::opMaster},
        {"rate", &Soak::opRate},       {"info", &Soak::opInfo},       {"perf", &Soak::opPerf},
        {"chip", &Soak::opChip},       {"healed", &Soak::opHealed},   {"kill", &Soak::opKill},
        {"start", &Soak::opStart},     {"model-restart", &Soak::opModelRestart},
        {"topctl", &Soak::opTopctl},
    };
    return all;
}

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
    delete looks_;
    RunPermissionGuard g;
    delete control_;
}
// ---- operations ----

void Soak::note(Verdict const& v) {
    if (v.ok) return;
    std::lock_guard<std::mutex> lock(verdictsMutex_);
    failures_.push_back(v.why);
}

bool Soak::failurePending() {
    std::lock_guard<std::mutex> lock(verdictsMutex_);
    return !failures_.empty();
}

bool Soak::callFailed(char const* what) {
    callContext_.clear();
    if (callErrors_ == errorsSeen_) return false;
    errorsSeen_ = callErrors_;
    note(Verdict::failed(std::string("model call ") + what + " failed: " + lastCallError_));
    return true;
}

void Soak::lookKeysChanged() {
    std::vector<unsigned long> keys;
    for (auto const& f : flows_) keys.push_back(f.first);
    if (looks_) looks_->setKeys(keys);
}

bool Soak::startModel() {
    Words args;
    for (auto const& f : flows_)
        args.insert(args.end(), {"--flow", str(f.first) + ":" + str(f.second.unit) + ":" + std::to_string(f.second.admin) +
                                               ":" + ipText(f.second.master) + ":" + std::to_string(f.second.rate)});
    model_ = node_.spawn("topmodel." + str(++instances_), BENCH_BIN_DIR "/topmodel", args, {"TOPADAPTER_ACTOR=topmodel"});
    if (!model_ || !Node::waitForText(model_->out, "READY", 20))
        return note(Verdict::failed("the model did not start")), false;
    // This process may learn of the model's termination a little after the model is READY.
    auto const t = Clock::now();
    for (;;) {
        {
            RunPermissionGuard g;
            delete control_;
            control_ = new ModelControlClient(TipprmiOID(ModelControlClient::NAME));
            if (control_->isConnected()) return errorsSeen_ = callErrors_, true;
        }
        if (secondsSince(t) > 10) return note(Verdict::failed("the model's control object is not reachable")), false;
        usleep(20000);
    }
}

bool Soak::startTask(CardRec& c, Words const& env) {
    std::string const actor = "topAdapter-" + str(c.index);
    Words vars{"TOPADAPTER_ACTOR=" + actor, "TOPADAPTER_SLOT=" + str(c.index + 2), "TOPADAPTER_UNIT=" + str(c.unit),
               "TOPADAPTER_TRACE_MASK=0xffffffff", "TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS=0",
               "TOPADAPTER_TOPDRV_SEED=" + str(c.index + 1)};
    vars.insert(vars.end(), env.begin(), env.end());
    c.task = node_.spawn(actor + "." + str(++c.instance), BENCH_BIN_DIR "/topAdapter", {}, vars);
    c.logSeen = 0;
    c.settles = 0;
    c.expect = CardRec::Clean;
    c.stoppedByInit = false;
    c.muted = 0;
    c.explained.clear();
    c.failures = false;
    c.initFailures = 0;
    c.startupSeconds = 3;
    for (auto const& e : env) {
        if (e == "TOPADAPTER_TOPDRV_FAIL=init:5:1") c.initFailures = 1;
        else if (e.find("FAIL") != std::string::npos) c.muted = kChipRuns | kChipValues | kAdapterState | kDriverInfo;
        c.failures = c.failures || e.find("FAIL") != std::string::npos;
        if (e.find("STARTUP_SECONDS=") != std::string::npos) c.startupSeconds = std::atof(e.c_str() + e.find('=') + 1);
    }
    // The task adopts the card's flow as it starts.
    if (c.flow && flows_[c.flow].wantsChip()) initDue(c);
    if (c.task && Node::waitForText(c.task->log, "Card Ready entering main processing loop", 30)) return true;
    note(Verdict::failed("the task of card " + str(c.index) + " did not start"));
    return false;
}

uint64_t Soak::lastCall(CardRec const& c, char const* fn, unsigned window) {
    std::istringstream j(Node::chip(c.task->pid, "journal " + std::to_string(window)));
    uint64_t last = 0;
    for (std::string l; std::getline(j, l);)
        if (l.compare(0, 3, "ok ") != 0 && (!fn || l.find(fn) != std::string::npos)) last = std::strtoull(l.c_str(), nullptr, 10);
    return last;
}

// The next init meets an armed failure, whatever else a fault left
// undecidable; only a muted adapter state leaves nothing to expect.
void Soak::initDue(CardRec& c) {
    if (!c.task || !c.initFailures || (c.muted & kAdapterState)) return;
    --c.initFailures;
    c.expect = CardRec::Stopped;
    c.stoppedByInit = true;
}

CardRec* Soak::cardOfFlow(unsigned long key) {
    for (auto& c : cards_)
        if (c.flow == key) return &c;
    return nullptr;
}

// SIGKILL is a crash; SIGTERM the task manager's end, after which a
// sanitized task looks for leaks first.
void Soak::killTask(CardRec& c, int signal) {
    Child* task = c.task;
    c.task = nullptr;
    if (!node_.end(task, signal, 60)) {
        node_.kill(task);
        note(Verdict::failed("card " + str(c.index) + "'s task did not end within 60 s of signal " + std::to_string(signal)));
    }
    auto const t = Clock::now();
    while (Node::exists(c.term))
        if (secondsSince(t) > 5) return note(Verdict::failed("card " + str(c.index) + "'s termination outlived its task"));
        else usleep(10000);
}

bool Soak::createFlow(unsigned long key, FlowRec const& f) {
    flows_[key] = f;
    nextKey_ = std::max(nextKey_, key + 1);
    if (f.own() && !f.bystander) cards_[f.unit - 1].flow = key;
    if (f.own() && !f.bystander && f.wantsChip()) initDue(cards_[f.unit - 1]);
    lookKeysChanged();
    bool const made = call("createFlow", [&](ModelControlClient& m) {
        return m.createFlow(key, f.unit, f.admin, ipArray(f.master)).isConnected();
    });
    if (callFailed("createFlow")) return false;
    if (!made) note(Verdict::failed("createFlow refused flow " + str(key)));
    return made;
}

void Soak::execute(Words const& op) {
    for (auto const& e : executors())
        if (op[0] == e.word) return (this->*e.execute)(op);
    std::fprintf(stderr, "soak: step %lu skipped: %s\n", step_.load(), join(op).c_str());
}

void Soak::opGap(Words const& op) { usleep(useconds_t(number(op.at(1)) * 1000)); }

void Soak::opCreate(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (op.size() != 5 || flows_.count(key)) return;
    FlowRec f;
    f.unit = number(op[2]);
    f.admin = long(number(op[3]));
    f.master = ipValue(op[4]);
    f.bystander = f.own() && cards_[f.unit - 1].flow != 0;
    createFlow(key, f);
}

// The operator's deletion runs in a process of its own; the flow is created
// again once the model let it go, while its observers hear of the deletion.
void Soak::opRecreate(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (op.size() != 6 || !flows_.count(key) || flows_[key].unit != number(op[2])) return;
    FlowRec f = flows_[key];
    CardRec* c = cardOfFlow(key);
    Child* client = node_.spawn("topctl." + str(++instances_), BENCH_BIN_DIR "/topctl", {"delete", op[1]}, {node_.toolNameId()}, true);
    if (!client) return note(Verdict::failed("topctl did not start"));
    clients_.push_back(client);
    double const limit = 60 / options_.scale + 15;
    auto const t = Clock::now();
    for (bool held = true; held;) {
        TipprmiSequence<ModelControlClient::FlowState> all = call("getFlows", [](ModelControlClient& m) { return m.getFlows(); });
        if (callFailed("getFlows")) return;
        held = false;
        for (unsigned long i = 0; i < all.getLength(); ++i) held = held || all[i].key == key;
        if (held && secondsSince(t) > limit)
            return note(Verdict::failed("'topctl delete " + op[1] + "' did not delete the flow within " + str(unsigned(limit)) + " s"));
        if (held) usleep(1000);
    }
    flows_.erase(key);
    if (c && c->expect == CardRec::Stopped) c->expect = CardRec::Clean;
    usleep(useconds_t(number(op[5]) * 1000));
    f.admin = long(number(op[3]));
    f.master = ipValue(op[4]);
    f.rate = 0;
    createFlow(key, f);
}

void Soak::opDelete(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key)) return;
    if (CardRec* c = cardOfFlow(key)) {
        c->flow = 0;
        if (c->expect == CardRec::Stopped) c->expect = CardRec::Clean;
    }
    flows_.erase(key);
    lookKeysChanged();
    bool const gone = call("deleteFlow", [&](ModelControlClient& m) { return m.deleteFlow(key); });
    if (!callFailed("deleteFlow") && !gone) note(Verdict::failed("deleteFlow refused flow " + op[1]));
}

void Soak::opAdmin(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key) || flows_[key].bystander) return;
    FlowRec& f = flows_[key];
    long const was = f.admin;
    f.admin = long(number(op.at(2)));
    CardRec* c = cardOfFlow(key);
    if (c) {
        // Disabled, the adapter starts afresh at the next enable.
        if (f.admin != 1 && c->expect == CardRec::Stopped) c->expect = CardRec::Clean;
        if (f.admin == 1 && was != 1 && f.master) initDue(*c);
    }
    // The value it had: the task neither configures nor stops the chip (observers are told before the call returns).
    bool const same = was == f.admin && c && c->task && !c->faulted() && !c->revive;
    uint64_t const mark = same ? lastCall(*c) : 0;
    call("setAdminState", [&](ModelControlClient& m) { return m.setAdminState(key, f.admin); });
    if (callFailed("setAdminState")) return;
    if (same && (lastCall(*c, "topDrvAdapIf_init(") > mark || lastCall(*c, "topDrvAdapIf_deinit(") > mark))
        note(Verdict::failed("flow " + op[1] + ": its administrative state set to the value it had made the task configure or stop its chip"));
}

void Soak::opMaster(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key)) return;
    uint32_t const was = flows_[key].master;
    flows_[key].master = ipValue(op.at(2));
    if (CardRec* c = cardOfFlow(key))
        if (!was && flows_[key].wantsChip()) initDue(*c);
    call("setMasterIp", [&](ModelControlClient& m) { return m.setMasterIp(key, ipArray(flows_[key].master)); });
    callFailed("setMasterIp");
}

void Soak::opRate(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key)) return;
    flows_[key].rate = short(std::atoi(op.at(2).c_str()));
    call("setLogMeanSyncValue", [&](ModelControlClient& m) { return m.setLogMeanSyncValue(key, flows_[key].rate); });
    callFailed("setLogMeanSyncValue");
}

// Driver information asked of a flow whose driver is not ready is what the
// model held before.
void Soak::opInfo(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key)) return;
    auto stored = [&] {
        TipprmiSequence<ModelControlClient::FlowState> all = call("getFlows", [](ModelControlClient& m) { return m.getFlows(); });
        for (unsigned long i = 0; i < all.getLength(); ++i)
            if (all[i].key == key) return all[i].driverInfo;
        return TopFlowClient::DriverInfo();
    };
    CardRec* card = cardOfFlow(key);
    if (card && !card->task) card = nullptr;
    std::string const runningState = "ok state=" + std::to_string(TOP_DRV_RUNNING) + " ";
    auto running = [&] { return card && Node::chip(card->task->pid, "state").find(runningState) == 0; };
    TopFlowClient::DriverInfo const before = stored();
    bool const wasRunning = running();
    TopFlowClient::DriverInfo const got = call("requestDriverInfo", [&](ModelControlClient& m) { return m.requestDriverInfo(key); });
    if (callFailed("requestDriverInfo") || wasRunning || running()) return;
    if (got.masterLockState != before.masterLockState || got.masterClockState != before.masterClockState)
        note(Verdict::failed("flow " + op[1] + ": driver information changed while its driver was not running (lock " +
                             std::to_string(before.masterLockState) + " -> " + std::to_string(got.masterLockState) + ", clock " +
                             std::to_string(int(before.masterClockState)) + " -> " + std::to_string(int(got.masterClockState)) + ")"));
}

void Soak::opPerf(Words const& op) {
    unsigned long const key = number(op.at(1));
    if (!flows_.count(key)) return;
    TipprmiSequence<unsigned long> idents;
    for (long i : {TopAdapterStatusClient::PM_IDENT_SLS, TopFlowClient::PM_IDENT_MIN_PHASE_ERROR,
                   TopFlowClient::PM_IDENT_AVG_PHASE_ERROR, TopFlowClient::PM_IDENT_MAX_PHASE_ERROR,
                   TopAdapterStatusClient::PM_IDENT_NO_RX_SYNC})
        idents.push_back(static_cast<unsigned long>(i));
    call("triggerPerformance", [&](ModelControlClient& m) { return m.triggerPerformance(key, idents, number(op.at(2))), true; });
    callFailed("triggerPerformance");
}

// What each fault leaves undecidable, and which refused driver calls it explains.
void Soak::opChip(Words const& op) {
    unsigned long const i = number(op.at(1));
    if (i >= cards_.size() || !cards_[i].task || op.size() < 3) return;
    CardRec& c = cards_[i];
    std::string const command = join(op, 2);
    std::string const reply = Node::chip(c.task->pid, command);
    if (reply.compare(0, 2, "ok") != 0)
        return note(Verdict::failed("card " + op[1] + "'s chip refused '" + command + "': " + reply));
    FlowRec const* f = c.flow ? &flows_[c.flow] : nullptr;
    bool const running = f && f->wantsChip();
    // A revive of a dead API configures the chip at a time of its own.
    bool const apiDead = Node::chip(c.task->pid, "state").find("api-dead=1") != std::string::npos;
    std::string const& what = op[2];
    if (what == "fail") {
        std::string const fn = op.at(3);
        c.failures = true;
        if (fn == "init" && op.size() == 6 && !apiDead)
            c.initFailures += unsigned(number(op[5]));
        else if (fn == "init" || fn == "deinit")
            c.muted |= kChipRuns | kChipValues | (fn == "init" ? unsigned(kAdapterState) : 0u);
        else if (fn == "setMasterIp" || fn == "setMessageRate")
            c.muted |= kChipValues;
        else if (fn == "getStateInfo") {
            // The adapter takes a failed look for a running driver.
            c.muted |= kChipValues;
            c.explained.insert(kRunningOnly.begin(), kRunningOnly.end());
        }
    }
    if (what == "kill-api" && c.initFailures) c.muted |= kChipRuns | kChipValues | kAdapterState;
    c.revive = c.revive || what == "kill-api";
    if (what == "clear-fail") {
        // A slow task (a sanitizer's) may not have reached its first init
        // yet: an injected init failure it never met leaves the chip to
        // follow the flow.
        if (c.stoppedByInit && c.expect == CardRec::Stopped && c.task &&
            !lastCall(c, "topDrvAdapIf_init(", kJournalWindow))
            c.expect = CardRec::Clean;
        c.failures = false;
        c.initFailures = 0;
    }
    if (what == "set-state") {
        // The driver went down behind the adapter's back.
        c.explained.insert(kRunningOnly.begin(), kRunningOnly.end());
        if (op.at(3) != std::to_string(TOP_DRV_NOT_STARTED))
            c.muted |= kChipRuns | kChipValues | kAdapterState | kDriverInfo | kStartUpWait;
        else if (running && c.expect == CardRec::Clean) {
            c.expect = CardRec::Stopped;
            c.stoppedByInit = false;
        }
    }
    if (what == "startup-seconds") {
        c.startupSeconds = std::atof(op.at(3).c_str());
        if (c.startupSeconds > 1000) c.muted |= kChipRuns | kChipValues | kAdapterState | kDriverInfo | kStartUpWait;
    }
}

void Soak::opHealed(Words const& op) {
    unsigned long const i = number(op.at(1));
    if (i >= cards_.size()) return;
    cards_[i].expect = CardRec::Clean;
    cards_[i].muted = 0;
}

void Soak::opKill(Words const& op) {
    unsigned long const i = number(op.at(1));
    if (i == 0 || i >= cards_.size() || !cards_[i].task) return;
    killTask(cards_[i], op.size() > 2 && op[2] == "term" ? SIGTERM : SIGKILL);
}

void Soak::opStart(Words const& op) {
    unsigned long const i = number(op.at(1));
    if (i < cards_.size() && !cards_[i].task) startTask(cards_[i], Words(op.begin() + 2, op.end()));
}

// A model ended in order (SIGTERM) or crashed (SIGKILL), then started again
// with the flows it held.
void Soak::opModelRestart(Words const& op) {
    for (auto& c : cards_) {
        std::string const j = c.task ? Node::chip(c.task->pid, "journal 1") : "";
        size_t const nl = j.find('\n');
        c.journalMark = nl == std::string::npos ? 0 : std::strtoull(j.c_str() + nl + 1, nullptr, 10);
    }
    bool const term = op.size() > 1 && op[1] == "term";
    if (!node_.end(model_, term ? SIGTERM : SIGKILL, 30)) {
        node_.kill(model_);
        note(Verdict::failed("the model did not end within 30 s of SIGTERM"));
    } else if (term && !(WIFEXITED(model_->status) && WEXITSTATUS(model_->status) == 0)) {
        note(Verdict::failed("the model ended on SIGTERM with status " + std::to_string(model_->status) + ", not in order"));
    }
    auto const t = Clock::now();
    while (Node::exists(Transport::TerminationId(Transport::IdInfo::nameIdOf("topmodel"), 1, Transport::GroupId(1))))
        if (secondsSince(t) > 5) return note(Verdict::failed("the model's termination outlived it"));
        else usleep(10000);
    recovering_ = true;
    startModel();
}

void Soak::opTopctl(Words const& op) {
    if (op.size() < 3) return;
    Words args(op.begin() + 2, op.end());
    Child* c = node_.spawn("topctl." + str(++instances_), BENCH_BIN_DIR "/topctl", args, {node_.toolNameId()}, true);
    if (!c) return note(Verdict::failed("topctl did not start"));
    clients_.push_back(c);
    if (op[1] != "-1") {
        usleep(useconds_t(number(op[1]) * 1000));
        node_.kill(c);
    }
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
    opLogPath_ = node_.dir() + "/operations.log";
    opLog_.open(opLogPath_);
    std::printf("card_soak: the node, its logs and the operation log in %s\n", node_.dir().c_str());
    std::printf("card_soak: seed %llu, %u cards, time scale %g", static_cast<unsigned long long>(options_.seed),
                options_.cards, options_.scale);
    if (char const* chaos = std::getenv("TOPADAPTER_CHAOS")) std::printf(", TOPADAPTER_CHAOS=%s", chaos);
    std::printf("\n");
    std::fflush(stdout);
    unsigned long const self = diag::currentThreadId();
    // A call failed when its answer could not be read (the call helper says
    // so); the error records before it tell why. An error record alone is no
    // failure: a resolution asks every actor of the node, and operator tools
    // leave it all the time.
    diag::setCaptureSink([this, self](diag::Record const& r) {
        if (r.thread != self) return;
        if (r.isError()) callContext_ = r.file + ":" + std::to_string(r.line) + " " + r.text;
        if (r.text.compare(0, 16, "Unmarshall error") != 0) return;
        lastCallError_ = r.text + (callContext_.empty() ? "" : " (after " + callContext_ + ")");
        ++callErrors_;
    });
    TreflectORB::getInstance(NSID_UNIT);
    // A model call that never returns ends the run. Only what another thread
    // cannot change under it is printed: the operation log has the rest.
    watchdog_ = std::thread([this] {
        double const limit = 60 / options_.scale + 30;
        while (!done_) {
            int64_t const started = callStarted_;
            if (started && std::chrono::duration<double>(Clock::now().time_since_epoch()).count() - started / 1e9 > limit) {
                std::printf("\nSOAK FAILURE: the model call %s has not returned after %d s (seed %llu, step %lu); "
                            "the operations are in %s\n",
                            callWhat_.load() ? callWhat_.load() : "?", int(limit), static_cast<unsigned long long>(options_.seed), step_.load(),
                            opLogPath_.c_str());
                std::fflush(stdout);
                ::_exit(1);  // the children die with the soak
            }
            usleep(200000);
        }
    });
    looks_ = new Looks(node_, options_.seed, options_.replay.empty() ? options_.looks : 0, 60 / options_.scale + 15);
    if (startModel())
        for (auto& c : cards_)
            if (!startTask(c, {})) break;
    looks_->start();
    bool ok = true, finishing = false;
    while (ok) {
        bool const timeUp = options_.steps ? step_ >= options_.steps : secondsSince(begin_) >= options_.seconds;
        if (timeUp && options_.replay.empty()) {
            if (options_.steps && !finishing)
                queue_ = {{"settle"}};
            else if (queue_.empty())
                break;
            finishing = true;
        }
        if (failurePending()) {
            ok = settle();
            break;
        }
        Words const op = next();
        if (op.empty()) break;
        char line[32];
        std::snprintf(line, sizeof line, "%6lu %7.2f ", ++step_, secondsSince(begin_));
        opLog_ << line << join(op) << "\n" << std::flush;
        recent_.push_back(line + join(op));
        if (recent_.size() > 80) recent_.erase(recent_.begin());
        if (op[0] == "settle") {
            ok = settle();
            continue;
        }
        if (op[0] != "gap" && op[0] != "healed") {
            ++operations_;
            ++sinceSettle_;
            ++byKind_[op[0] == "chip" && op.size() > 2 ? "chip " + op[2] : op[0]];
        }
        execute(op);
    }
    // The last settle ends every process in order and looks at what each left.
    if (ok) ok = settle(true);
    done_ = true;
    summary();
    if (!options_.keep) node_.removeDirectory();
    return ok ? 0 : 1;
}

}  // namespace soak

int main(int argc, char** argv) {
    soak::Options o;
    // Under schedule chaos the schedule's seed is chaos's unless given: a fresh one in CI.
    if (char const* chaos = std::getenv("TOPADAPTER_CHAOS")) o.seed = std::strtoull(chaos, nullptr, 0);
    for (int i = 1; i < argc; ++i) {
        std::string const a = argv[i];
        char const* v = i + 1 < argc ? argv[i + 1] : nullptr;
        if (a == "--keep") {
            o.keep = true;
            continue;
        }
        if (!v) {
            std::fprintf(stderr, "%s", soak::Soak::usage().c_str());
            return 2;
        }
        ++i;
        if (a == "--seed") o.seed = std::strtoull(v, nullptr, 0);
        else if (a == "--seconds") o.seconds = std::atof(v);
        else if (a == "--steps") o.steps = std::strtoul(v, nullptr, 10);
        else if (a == "--cards") o.cards = unsigned(std::atoi(v));
        else if (a == "--scale") o.scale = std::atof(v);
        else if (a == "--looks") o.looks = unsigned(std::atoi(v));
        else if (a == "--replay") o.replay = v;
        else if (a == "--without") {
            std::istringstream in(v);
            for (std::string k; std::getline(in, k, ',');) o.without.insert(k);
        } else {
            std::fprintf(stderr, "card_soak: unknown option %s\n%s", a.c_str(), soak::Soak::usage().c_str());
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
