// The chaos soak: a node of 2-4 cards and their model, driven from one seed
// by a random mix of operator changes, chip faults, process kills and
// operator clients, while operator looks run beside it all the time; checked
// from outside at every settle point.
//
// Operations are lines of words; the operation log holds them as executed,
// and `--replay FILE` runs such a log again (lines may be removed to reduce
// a failure). One seed gives one schedule: every choice depends only on the
// seed and on what the soak itself did, never on what it observed.
//
//   create KEY UNIT ADMIN A.B.C.D   delete KEY   admin KEY 0|1
//   recreate KEY UNIT ADMIN A.B.C.D GAP_MS   an operator deletes the flow, the soak creates it anew
//   master KEY A.B.C.D   rate KEY N   info KEY   perf KEY COMMAND
//   chip CARD COMMAND...            the chip's control channel (topchip help)
//   kill CARD [term]   start CARD [VAR=VALUE...]   model-restart [term]
//   topctl KILL_MS|-1 ARGS...       an operator client, killed after KILL_MS
//   gap MS   healed CARD   settle
//
// Card c runs on unit c+1. Of the flows of a card's unit one is its own: the
// soak locks, unlocks and reconfigures it, and the card's chip follows it.
// The others stand by: created locked, they stay so, and the chip owes them
// nothing; their adapters exist all the same. Card 0 is never killed: its
// task is the witness of memory and threads over the whole run.
//
// Checks return verdicts. Those made while the operations run (a model call
// slower than its bound, an operator look unanswered, an operation's own
// check) wait for the next settle, which is the one place that fails the run.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
#include <mutex>
#include <random>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "ModelControlClient.h"
#include "REFLECT_orb.h"
#include "SoakNode.h"
#include "TopAdapterStatusClient.h"

namespace soak {

using Words = std::vector<std::string>;

// A.B.C.D of an address in host order.
std::string ipText(uint32_t address);

// A check's outcome; a failed one always says why.
struct Verdict {
    bool ok = true;
    std::string why;
    static Verdict pass() { return Verdict(); }
    static Verdict failed(std::string why) { return Verdict{false, std::move(why)}; }
};

struct Options {
    uint64_t seed = 1;
    double seconds = 60;
    double scale = 20;
    unsigned cards = 3;
    unsigned long steps = 0;        // stop after this step (0: by time)
    std::set<std::string> without;  // operation kinds left out of the mix
    std::string replay;             // operation log to run instead of the seed's schedule
    bool keep = false;              // keep the run directory
    unsigned looks = 2;             // operator looks under way at once
};

struct FlowRec {
    unsigned long unit = 0;
    long admin = 0;
    uint32_t master = 0;
    short rate = 0;
    bool bystander = false;  // on a card's unit beside its own flow: locked for life
    bool own() const;        // on a card's unit
    bool wantsChip() const { return admin == 1 && master != 0; }
};

// What an injected fault leaves undecidable on a card until it is healed.
enum Aspect : unsigned {
    kChipRuns = 1,      // whether the chip runs or is stopped
    kChipValues = 2,    // the master address and rate it runs with
    kAdapterState = 4,  // the state of the flow's adapter
    kDriverInfo = 8,    // the driver information and init status the model holds
    kStartUpWait = 16,  // a start-up wait still running
};

struct CardRec {
    unsigned index = 0;
    unsigned long unit = 0;
    Transport::TerminationId term;
    Child* task = nullptr;  // null while killed
    unsigned instance = 0;
    unsigned long flow = 0;  // key of its own flow, 0: none
    // The chip follows the flow (Clean), or stays stopped until the flow is
    // disabled or deleted or the task restarts, as after a driver that went
    // down or an init that failed (Stopped).
    enum Expect { Clean, Stopped } expect = Clean;
    unsigned muted = 0;                 // Aspects left undecidable by faults not yet healed
    std::set<std::string> explained;    // driver functions whose refusals a fault since the last settle explains
    unsigned initFailures = 0;          // inits that will fail
    bool stoppedByInit = false;         // Stopped expected from an init failure injected at the start
    bool failures = false;              // failures injected and not cleared
    bool revive = false;    // its API killed since the last settle: the task may configure the chip any time
    double startupSeconds = 3;
    std::streamoff logSeen = 0;
    uint64_t journalMark = 0;  // the chip journal's last call when the model restarted
    Usage first, warm, tenth, last;  // at its first settle, after warm-up, at its tenth and last
    unsigned settles = 0;      // settles this instance lived through
    bool faulted() const { return expect != Clean || muted != 0; }
};

class Looks;

class Soak {
public:
    explicit Soak(Options const& options);
    ~Soak();
    int run();
    static std::string usage();

private:
    struct Kind;      // an operation of the mix: its weight and how it is generated
    struct Executor;  // an operation word and how it is executed
    static std::vector<Kind> const& mix();
    static std::vector<Executor> const& executors();

    // ---- schedule (Soak.cpp) ----
    struct Plan;  // the soak's view of the world as the burst being generated will leave it
    Words next();
    void burst();
    uint32_t pick(uint32_t n) { return uint32_t(rng_() % n); }
    bool chance(unsigned in) { return pick(in) == 0; }
    std::string gap();
    bool allowed(std::string const& kind) const { return !options_.without.count(kind); }
    void genCreate(Plan& p);
    void genCrowd(Plan& p);
    void genRecreate(Plan& p);
    void genDelete(Plan& p);
    void genAdmin(Plan& p);
    void genMaster(Plan& p);
    void genRate(Plan& p);
    void genInfo(Plan& p);
    void genPerf(Plan& p);
    void genChipFault(Plan& p, std::string const& kind);
    void genKill(Plan& p);
    void genTopctl(Plan& p);

    // ---- operations (Soak.cpp) ----
    void execute(Words const& op);
    void opGap(Words const& op);
    void opCreate(Words const& op);
    void opRecreate(Words const& op);
    void opDelete(Words const& op);
    void opAdmin(Words const& op);
    void opMaster(Words const& op);
    void opRate(Words const& op);
    void opInfo(Words const& op);
    void opPerf(Words const& op);
    void opChip(Words const& op);
    void opHealed(Words const& op);
    void opKill(Words const& op);
    void opStart(Words const& op);
    void opModelRestart(Words const& op);
    void opTopctl(Words const& op);
    bool createFlow(unsigned long key, FlowRec const& f);
    bool startModel();
    bool startTask(CardRec& c, Words const& env);
    void killTask(CardRec& c, int signal);
    // An init of the card's chip is due: one that fails leaves the chip stopped.
    void initDue(CardRec& c);
    CardRec* cardOfFlow(unsigned long key);
    void lookKeysChanged();
    // Sequence number of the chip's last call (of `fn`), from its journal.
    static uint64_t lastCall(CardRec const& c, char const* fn = nullptr, unsigned window = 64);
    // Runs `f` on the model's control object, timed against two transaction periods.
    template <class F>
    auto call(char const* what, F f) -> decltype(f(std::declval<ModelControlClient&>()));
    // Whether the last model call failed; a failure is noted.
    bool callFailed(char const* what);
    void note(Verdict const& v);
    bool failurePending();

    // ---- checks (SoakCheck.cpp) ----
    bool settle(bool last = false);
    Verdict settled();
    Verdict processesLive();
    Verdict clientsDone();
    Verdict chipsAsExpected(std::map<unsigned, std::string>& states);
    Verdict alarmsAsExpected(std::map<unsigned, std::string> const& states);
    Verdict modelAsExpected(std::map<unsigned, std::string> const& states);
    Verdict tasksAsExpected();
    Verdict callOrderKept(CardRec& c);
    Verdict afterModelRestart(CardRec const& c);
    Verdict flat(CardRec const& c, Usage const& u);
    Verdict childrenEnded();
    Verdict noReports();
    TopAdapterStatusClient::TaskStatus status(CardRec const& c);
    std::vector<unsigned long> flowsOfUnit(unsigned long unit) const;
    void fail(std::string const& what);
    void summary();

    Options options_;
    std::mt19937_64 rng_;
    Node node_;
    std::vector<CardRec> cards_;
    std::map<unsigned long, FlowRec> flows_;
    Child* model_ = nullptr;
    ModelControlClient* control_ = nullptr;
    std::vector<Child*> clients_;
    Looks* looks_ = nullptr;
    std::vector<Words> queue_;  // generated, not yet executed (last first)
    std::vector<std::string> script_;
    size_t scriptAt_ = 0;
    unsigned long nextKey_ = 1, settles_ = 0, operations_ = 0, modelCalls_ = 0, instances_ = 0;
    unsigned long sinceSettle_ = 0;  // operations since the last settle
    std::atomic<unsigned long> step_{0};
    bool recovering_ = false;  // the model restarted since the last settle
    double longestCall_ = 0;
    std::string longestWhat_;
    std::ofstream opLog_;
    std::string opLogPath_;
    std::vector<std::string> recent_;  // the operation log's last lines
    std::map<std::string, unsigned long> byKind_;
    std::atomic<unsigned long> callErrors_{0};
    unsigned long errorsSeen_ = 0;
    std::string lastCallError_, callContext_;
    std::mutex verdictsMutex_;
    std::vector<std::string> failures_;  // failed verdicts not yet reported by a settle
    // The model call under way, for the watchdog: its name and start (ns on the steady clock; 0: none).
    std::atomic<char const*> callWhat_{nullptr};
    std::atomic<int64_t> callStarted_{0};
    std::atomic<bool> done_{false};
    std::thread watchdog_;
    Clock::time_point begin_;
};

template <class F>
auto Soak::call(char const* what, F f) -> decltype(f(std::declval<ModelControlClient&>())) {
    ++modelCalls_;
    auto const t = Clock::now();
    callWhat_ = what;
    callStarted_ = t.time_since_epoch().count();
    struct Done {
        std::atomic<int64_t>& started;
        ~Done() { started = 0; }
    } done{callStarted_};
    RunPermissionGuard g;
    auto result = f(*control_);
    double const took = secondsSince(t);
    if (took > longestCall_) {
        longestCall_ = took;
        longestWhat_ = what;
    }
    if (took > 60 / options_.scale)
        note(Verdict::failed(std::string("model call ") + what + " took " + std::to_string(took) +
                             " s, more than two transaction periods (" + std::to_string(60 / options_.scale) + " s)"));
    return result;
}

}  // namespace soak
