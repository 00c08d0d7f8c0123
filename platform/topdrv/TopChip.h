// The simulated ToP chip behind topDrvAdapIf_* (topDrvAdapIf.h documents the
// call order and the environment).
//
// Life of the chip:
//   power-up -> firmware upgrade (state 1) for some polls or seconds
//            -> not started (6)
//   init     -> starting (2) for the start-up delay -> running (0)
//            -> locked to the master after the lock delay
//   deinit   -> not started (6)
// While running the two free-running 32-bit counters advance: SLS by one per
// second without lock, no-rx-sync by the sync messages missed (2^-logMeanSync
// per second without lock, the configured loss rate while locked). Both wrap
// modulo 2^32. Phase error samples come from a seeded generator, the same
// sequence for the same seed. Delays are protocol seconds on the scaled clock
// (OSWrap::Clock), so the time scale shortens them.
//
// Every member takes the chip's one mutex; any thread may call any of them.
#pragma once

#include <stddef.h>
#include <stdint.h>

#include <deque>
#include <mutex>
#include <string>
#include <vector>

namespace topdrv {

// The driver functions, for failure injection and the journal.
enum class Fn : unsigned {
    Init,
    Deinit,
    GetStateInfo,
    GetApiState,
    GetLockState,
    GetMasterClockState,
    GetMasterServiceState,
    SetMasterIp,
    SetMessageRate,
    GetPhaseError,
    GetSLS,
    GetNoRxSyncMsg,
};
constexpr unsigned kFnCount = 12;

// "topDrvAdapIf_init" etc.
char const* fnName(Fn fn);
// Accepts the full name or the part after "topDrvAdapIf_" ("init", "getSLS").
bool fnFromName(std::string const& name, Fn* fn);

// An injected failure: `status` for the next `remaining` calls (-1: every call).
struct Failure {
    int status = 0;
    int remaining = 0;
};

// Parses "<fn>:<status>[:<count>],..." into `out` (indexed by Fn). On a
// malformed item returns false with a reason in *error; `out` is then unchanged.
bool parseFailures(std::string const& text, Failure (&out)[kFnCount], std::string* error);

// SplitMix64: small, fast, and the same sequence on every host.
class SplitMix64 {
public:
    explicit SplitMix64(uint64_t seed = 0) : state_(seed) {}
    uint64_t next();
    // Uniform in [0, 1).
    double unit() { return static_cast<double>(next() >> 11) * (1.0 / 9007199254740992.0); }

private:
    uint64_t state_;
};

// Power-up settings of the chip.
struct Config {
    uint32_t fwUpgradePolls = 1;
    double fwUpgradeSeconds = 0;
    double startupSeconds = 3;
    double lockSeconds = 2;
    uint64_t seed = 1;
    double phaseMean = 0;    // ns
    double phaseSpread = 20; // ns
    uint32_t syncLossPerMille = 0;
    uint32_t slsStart = 0;
    uint32_t noRxStart = 0;
    Failure failures[kFnCount];

    // Defaults overridden by the TOPADAPTER_TOPDRV_* variables; malformed
    // values are logged and ignored.
    static Config fromEnvironment();
};

// What the chip looks like right now, without touching any of its sequences.
struct Status {
    uint32_t state = 0;
    uint32_t fwPollsLeft = 0;  // polls until the upgrade ends by count (0: not by count)
    bool apiDead = false;
    bool configured = false;
    uint32_t lockState = 0;           // as the queries would answer while running
    uint32_t masterClockState = 0;
    uint32_t masterServiceState = 0;
    uint32_t ownIp = 0, netmask = 0, gateway = 0, masterIp = 0;
    int logMeanSync = 0;
    uint32_t sls = 0;
    uint32_t noRxSync = 0;
    bool countersFrozen = false;
    uint64_t phaseSamples = 0;
    float lastPhaseError = 0;
};

// One driver call as the chip saw it. The time is the host's wall clock,
// unscaled, so that it compares with what other processes record.
struct JournalEntry {
    uint64_t seq = 0;      // 1, 2, ... since power-up
    int64_t wallUs = 0;    // microseconds since 1970
    std::string thread;    // name of the calling thread, e.g. "OSWTimer"
    Fn fn = Fn::Init;
    std::string args;      // arguments as text, e.g. "0xc0a8ff66, 0xfffffffc, 0xc0a8ff65, 0x0a000001, -4, 0"
    int result = 0;
    std::string value;     // out-value on success, e.g. "0" or "12.5"
};

class Chip {
public:
    static constexpr size_t kJournalCapacity = 4096;

    Chip();  // powered up from the environment
    Chip(Chip const&) = delete;
    Chip& operator=(Chip const&) = delete;

    // ---- The driver functions ----
    int init(unsigned long ownIp, unsigned long netmask, unsigned long gateway, unsigned long masterIp,
             int logMeanSync, int zero);
    int deinit();
    int getStateInfo(uint32_t* state);
    int getApiState(uint32_t* state);
    int getLockState(uint32_t* state);
    int getMasterClockState(uint32_t* state);
    int getMasterServiceState(uint32_t* state);
    int setMasterIp(unsigned long masterIp);
    int setMessageRate(int logMeanSync);
    int getPhaseError(float* phaseError);
    int getSLS(uint32_t* counter);
    int getNoRxSyncMsg(uint32_t* counter);

    // ---- Control ----
    // Power cycle: everything back to `config` (journal, failures, forced
    // states and counters included).
    void powerUp();
    void powerUp(Config const& config);
    Config config() const;

    // Starts a firmware upgrade now: the configuration is lost; the upgrade
    // ends after `polls` state polls or `seconds`, whichever comes first, and
    // never while both are 0.
    void startFirmwareUpgrade(uint32_t polls, double seconds);
    // Jumps to a driver state: 0 running, 1 upgrading (until told otherwise),
    // 2 starting, 6 not started; any other value is reported as it is and
    // left only by init, deinit or another jump.
    void setState(uint32_t state);
    // Apply to a start-up or lock delay already under way too.
    void setStartupSeconds(double seconds);
    void setLockSeconds(double seconds);
    // 0 or 1 overrides the model, -1 gives the state back to it.
    void forceLock(int value);
    void forceMasterClock(int value);
    void forceMasterService(int value);
    // The API dies: getApiState reports 1 until the next init.
    void killApi();
    // `status` 0 clears the function's failure.
    void injectFailure(Fn fn, int status, int count = -1);
    void clearFailures();
    void setCounters(uint32_t sls, uint32_t noRxSync);
    // Frozen counters change only through setCounters.
    void freezeCounters(bool frozen);
    void setSyncLossPerMille(uint32_t perMille);
    void setPhaseError(double mean, double spread);
    // Restarts the sample sequence.
    void setSeed(uint64_t seed);
    // Samples handed out before the generated ones.
    void queuePhaseErrors(std::vector<float> const& samples);

    Status status();
    // The last `last` calls, oldest first; at most kJournalCapacity are kept.
    std::vector<JournalEntry> journal(size_t last = static_cast<size_t>(-1)) const;
    // Calls of one function since power-up (not limited by the journal's size).
    uint64_t callCount(Fn fn) const;
    void clearJournal();

private:
    enum class Phase { Upgrading, NotStarted, Starting, Running, Other };

    template <class Body>
    int call(Fn fn, std::string const& args, Body body);
    void powerUpLocked(Config const& config, int64_t now);
    void advance(int64_t now);
    void accumulate(int64_t from, int64_t to);
    bool lockedAt(int64_t now) const;
    uint32_t reportedState() const;
    int64_t startupNs() const;
    int64_t lockNs() const;
    int refuseUnlessRunning(Fn fn, std::string* warning) const;
    // A status query: refused without a result pointer or unless running.
    template <class Read>
    int query(Fn fn, uint32_t* out, std::string* value, std::string* warning, Read read);

    mutable std::mutex mutex_;
    Config config_;
    Phase phase_ = Phase::NotStarted;
    uint32_t otherState_ = 0;
    uint32_t upgradePollsLeft_ = 0;
    int64_t upgradeEndNs_ = 0;
    int64_t startBeganNs_ = 0;
    int64_t lockFromNs_ = 0;
    int forcedLock_ = -1;
    int forcedClock_ = -1;
    int forcedService_ = -1;
    bool apiDead_ = false;
    bool configured_ = false;
    uint32_t ownIp_ = 0, netmask_ = 0, gateway_ = 0, masterIp_ = 0;
    int logMeanSync_ = 0;
    uint32_t sls_ = 0, noRx_ = 0;
    double slsFrac_ = 0, noRxFrac_ = 0;
    int64_t lastAdvanceNs_ = 0;
    bool frozen_ = false;
    SplitMix64 rng_;
    std::deque<float> queuedPhase_;
    float lastPhase_ = 0;
    uint64_t phaseSamples_ = 0;
    Failure failures_[kFnCount];
    std::deque<JournalEntry> journal_;
    uint64_t seq_ = 0;
    uint64_t calls_[kFnCount] = {};
};

// The chip of this process, powered up on first use; the first use also
// starts the control channel (ChipControl.h).
Chip& control();

}  // namespace topdrv
