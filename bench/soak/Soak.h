// The chaos soak: a node of 2-4 cards and their model, driven from one seed
// by a random mix of operator changes, chip faults, process kills and
// operator clients, checked from outside at every settle point.
//
// Operations are lines of words; the operation log holds them as executed,
// and `--replay FILE` runs such a log again (lines may be removed to reduce
// a failure). One seed gives one schedule: every choice depends only on the
// seed and on what the soak itself did, never on what it observed.
//
//   create KEY UNIT ADMIN A.B.C.D   delete KEY   admin KEY 0|1
//   master KEY A.B.C.D   rate KEY N   info KEY   perf KEY COMMAND
//   chip CARD COMMAND...            the chip's control channel (topchip help)
//   kill CARD   start CARD [VAR=VALUE...]   model-restart
//   topctl KILL_MS|-1 ARGS...       an operator client, killed after KILL_MS
//   gap MS   healed CARD   settle
//
// Card c runs on unit c+1; every card holds at most one flow of its own, so
// "the card's chip" is that flow's chip. Card 0 is never killed: its task is
// the witness of memory and threads over the whole run.
#pragma once

#include <atomic>
#include <cstdint>
#include <fstream>
#include <map>
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

struct Options {
    uint64_t seed = 1;
    double seconds = 60;
    double scale = 20;
    unsigned cards = 3;
    unsigned long steps = 0;        // stop after this step (0: by time)
    std::set<std::string> without;  // operation kinds left out of the mix
    std::string replay;             // operation log to run instead of the seed's schedule
    bool keep = false;              // keep the run directory
    std::string tolerate;           // a driver function whose refused calls are a known fault, not counted
};

struct FlowRec {
    unsigned long unit = 0;
    long admin = 0;
    uint32_t master = 0;
    short rate = 0;
    bool own() const;  // on a card's unit
};

struct CardRec {
    unsigned index = 0;
    unsigned long unit = 0;
    Transport::TerminationId term;
    Child* task = nullptr;  // null while killed
    unsigned instance = 0;
    unsigned long flow = 0;  // key of its own flow, 0: none
    // What the chip must do: follow the flow (Clean); stay stopped until the
    // flow is disabled or deleted or the task restarts, as after a driver
    // that went down or an init that failed (Stopped); anything, after faults
    // whose effect depends on timing, until healed (Unknown).
    enum Expect { Clean, Stopped, Unknown } expect = Clean;
    bool tainted() const { return expect != Clean; }
    unsigned initFailures = 0;  // inits that will fail
    bool failures = false;      // failures injected and not cleared
    bool forced = false;    // chip state forced or failures injected since the last settle
    bool revive = false;    // its API killed since the last settle: the task may configure the chip any time
    double startupSeconds = 3;
    std::streamoff logSeen = 0;
    uint64_t journalMark = 0;             // the chip journal's last call when the model restarted
    Usage first, tenth, last;  // at its first, tenth and last settle
    unsigned settles = 0;  // settles this instance lived through
};

class Soak {
public:
    explicit Soak(Options const& options);
    ~Soak();
    int run();

private:
    // ---- schedule ----
    Words next();
    void burst();
    void heal(CardRec& c);
    uint32_t pick(uint32_t n) { return uint32_t(rng_() % n); }
    bool chance(unsigned in) { return pick(in) == 0; }
    std::string gap();
    bool allowed(std::string const& kind) const { return !options_.without.count(kind); }

    // ---- operations ----
    bool execute(Words const& op);
    bool startModel();
    bool startTask(CardRec& c, Words const& env);
    bool killTask(CardRec& c);
    // An init of the card's chip is due: one that fails leaves the chip stopped.
    void initDue(CardRec& c);
    CardRec* cardOfFlow(unsigned long key);
    // Sequence number of the chip's last call (of `fn`), from its journal.
    static uint64_t lastCall(CardRec const& c, char const* fn = nullptr);
    bool infoUnchanged(unsigned long key);
    // Runs `f` on the model's control object, timed against two transaction periods.
    template <class F>
    auto call(char const* what, F f) -> decltype(f(std::declval<ModelControlClient&>()));
    bool callFailed(char const* what);

    // ---- checks (SoakCheck.cpp) ----
    bool settle();
    bool processesLive();
    bool clientsDone(bool wait);
    bool chipsAsExpected(std::map<unsigned, std::string>& states, std::string* why);
    bool alarmsAsExpected(std::map<unsigned, std::string> const& states, std::string* why);
    bool modelAsExpected(std::map<unsigned, std::string> const& states, std::string* why);
    bool tasksAsExpected(std::string* why);
    TopAdapterStatusClient::TaskStatus status(CardRec const& c);
    bool fail(std::string const& what);
    bool flat();
    void summary();

    Options options_;
    std::mt19937_64 rng_;
    Node node_;
    std::vector<CardRec> cards_;
    std::map<unsigned long, FlowRec> flows_;
    Child* model_ = nullptr;
    ModelControlClient* control_ = nullptr;
    std::vector<Child*> clients_;
    std::vector<Words> queue_;  // generated, not yet executed (last first)
    std::vector<std::string> script_;
    size_t scriptAt_ = 0;
    unsigned long nextKey_ = 1, step_ = 0, settles_ = 0, operations_ = 0, modelCalls_ = 0, instances_ = 0;
    unsigned burstLeft_ = 0;
    bool recovering_ = false;  // the model restarted since the last settle
    double longestCall_ = 0;
    std::string longestWhat_;
    std::ofstream opLog_;
    std::vector<std::string> recent_;  // the operation log's last lines
    std::map<std::string, unsigned long> byKind_;
    std::atomic<unsigned long> callErrors_{0};
    unsigned long errorsSeen_ = 0;
    std::string lastCallError_;
    std::atomic<int64_t> callStarted_{0};  // ns on the steady clock, 0: no call under way
    std::atomic<bool> done_{false};
    std::thread watchdog_;
    Clock::time_point begin_;
};

template <class F>
auto Soak::call(char const* what, F f) -> decltype(f(std::declval<ModelControlClient&>())) {
    ++modelCalls_;
    auto const t = Clock::now();
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
    if (took > 60 / options_.scale) fail(std::string("model call ") + what + " took " + std::to_string(took) +
                                         " s, more than two transaction periods");
    return result;
}

}  // namespace soak
