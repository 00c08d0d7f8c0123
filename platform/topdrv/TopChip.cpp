#include "TopChip.h"

#include <algorithm>
#include <cmath>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <strings.h>

#include "ChipControl.h"
#include "EnvVars.h"
#include "Log.h"
#include "OSWrap.h"
#include "topDrvAdapIf.h"

namespace topdrv {
namespace {

char const* const kFnNames[kFnCount] = {
    "topDrvAdapIf_init",
    "topDrvAdapIf_deinit",
    "topDrvAdapIf_getStateInfo",
    "topDrvAdapIf_getApiState",
    "topDrvAdapIf_getLockState",
    "topDrvAdapIf_getMasterClockState",
    "topDrvAdapIf_getMasterServiceState",
    "topDrvAdapIf_setMasterIp",
    "topDrvAdapIf_setMessageRate",
    "topDrvAdapIf_getPhaseError",
    "topDrvAdapIf_getSLS",
    "topDrvAdapIf_getNoRxSyncMsg",
};
char const kPrefix[] = "topDrvAdapIf_";
double const kMaxSeconds = 1e6;

std::string format(char const* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(char const* fmt, ...) {
    char buf[256];
    va_list ap;
    va_start(ap, fmt);
    int n = std::vsnprintf(buf, sizeof buf, fmt, ap);
    va_end(ap);
    if (n < 0) return std::string();
    return std::string(buf, std::min<size_t>(static_cast<size_t>(n), sizeof buf - 1));
}

// The scaled protocol clock in nanoseconds.
int64_t nowNs() { return OSWrap::Clock::getTime().totalNanoseconds(); }

int64_t secondsToNs(double s) { return static_cast<int64_t>(std::llround(s * 1e9)); }

uint32_t low32(unsigned long v) { return static_cast<uint32_t>(v & 0xFFFFFFFFul); }

// Moves the whole part of an accumulator into a wrapping 32-bit increment.
uint32_t takeWhole(double& frac) {
    double whole = std::floor(frac);
    frac -= whole;
    return static_cast<uint32_t>(static_cast<uint64_t>(std::fmod(whole, 4294967296.0)));
}

bool contiguousMask(uint32_t mask) { return mask != 0 && ((~mask + 1u) & ~mask) == 0; }

std::string ip(uint32_t a) { return format("0x%08x", a); }

unsigned idx(Fn fn) { return static_cast<unsigned>(fn); }

}  // namespace

char const* fnName(Fn fn) { return idx(fn) < kFnCount ? kFnNames[idx(fn)] : "topDrvAdapIf_?"; }

bool fnFromName(std::string const& name, Fn* fn) {
    std::string shortName = name;
    if (shortName.compare(0, sizeof kPrefix - 1, kPrefix) == 0) shortName = shortName.substr(sizeof kPrefix - 1);
    for (unsigned i = 0; i < kFnCount; ++i) {
        if (strcasecmp(shortName.c_str(), kFnNames[i] + sizeof kPrefix - 1) == 0) {
            *fn = static_cast<Fn>(i);
            return true;
        }
    }
    return false;
}

bool parseFailures(std::string const& text, Failure (&out)[kFnCount], std::string* error) {
    Failure parsed[kFnCount];
    std::copy(std::begin(out), std::end(out), std::begin(parsed));
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? text.size() : comma + 1;
        if (item.empty()) continue;
        std::vector<std::string> parts;
        size_t p = 0;
        for (;;) {
            size_t colon = item.find(':', p);
            parts.push_back(item.substr(p, colon == std::string::npos ? std::string::npos : colon - p));
            if (colon == std::string::npos) break;
            p = colon + 1;
        }
        Fn fn;
        int64_t status = 0, count = -1;
        if (parts.size() < 2 || parts.size() > 3) {
            *error = "'" + item + "' is not <function>:<status>[:<count>]";
            return false;
        }
        if (!fnFromName(parts[0], &fn)) {
            *error = "'" + parts[0] + "' is not a driver function";
            return false;
        }
        if (!platform::parseInt64(parts[1], INT32_MIN, INT32_MAX, &status) || status == 0) {
            *error = "'" + parts[1] + "' is not a non-zero status";
            return false;
        }
        if (parts.size() == 3 && !platform::parseInt64(parts[2], 1, INT32_MAX, &count)) {
            *error = "'" + parts[2] + "' is not a positive count";
            return false;
        }
        parsed[idx(fn)].status = static_cast<int>(status);
        parsed[idx(fn)].remaining = static_cast<int>(count);
    }
    std::copy(std::begin(parsed), std::end(parsed), std::begin(out));
    return true;
}

uint64_t SplitMix64::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Config Config::fromEnvironment() {
    using namespace platform;
    Config c;
    c.fwUpgradePolls = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", c.fwUpgradePolls, 0,
                                                      UINT32_MAX));
    c.fwUpgradeSeconds = envDouble("TOPADAPTER_TOPDRV_FW_UPGRADE_SECONDS", c.fwUpgradeSeconds, 0, kMaxSeconds);
    c.startupSeconds = envDouble("TOPADAPTER_TOPDRV_STARTUP_SECONDS", c.startupSeconds, 0, kMaxSeconds);
    c.lockSeconds = envDouble("TOPADAPTER_TOPDRV_LOCK_SECONDS", c.lockSeconds, 0, kMaxSeconds);
    c.seed = envUint64("TOPADAPTER_TOPDRV_SEED", c.seed);
    c.phaseMean = envDouble("TOPADAPTER_TOPDRV_PHASE_MEAN", c.phaseMean, -1e9, 1e9);
    c.phaseSpread = envDouble("TOPADAPTER_TOPDRV_PHASE_SPREAD", c.phaseSpread, 0, 1e9);
    c.syncLossPerMille =
        static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_SYNC_LOSS_PERMILLE", c.syncLossPerMille, 0, 1000));
    c.slsStart = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_SLS_START", c.slsStart, 0, UINT32_MAX));
    c.noRxStart = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_NORX_START", c.noRxStart, 0, UINT32_MAX));
    std::string fail = envString("TOPADAPTER_TOPDRV_FAIL", "");
    std::string error;
    if (!fail.empty() && !parseFailures(fail, c.failures, &error))
        TA_LOG(4, "TOPADAPTER_TOPDRV_FAIL=%s ignored: %s", fail.c_str(), error.c_str());
    return c;
}

// ---- Chip ----

Chip::Chip() {
    Config c = Config::fromEnvironment();
    std::lock_guard<std::mutex> lock(mutex_);
    powerUpLocked(c, nowNs());
}

int64_t Chip::startupNs() const { return secondsToNs(config_.startupSeconds); }
int64_t Chip::lockNs() const { return secondsToNs(config_.lockSeconds); }

void Chip::powerUpLocked(Config const& config, int64_t now) {
    config_ = config;
    config_.fwUpgradeSeconds = std::clamp(config_.fwUpgradeSeconds, 0.0, kMaxSeconds);
    config_.startupSeconds = std::clamp(config_.startupSeconds, 0.0, kMaxSeconds);
    config_.lockSeconds = std::clamp(config_.lockSeconds, 0.0, kMaxSeconds);
    config_.syncLossPerMille = std::min<uint32_t>(config_.syncLossPerMille, 1000);
    if (config_.fwUpgradePolls > 0 || config_.fwUpgradeSeconds > 0) {
        phase_ = Phase::Upgrading;
        upgradePollsLeft_ = config_.fwUpgradePolls;
        upgradeEndNs_ = config_.fwUpgradeSeconds > 0 ? now + secondsToNs(config_.fwUpgradeSeconds) : INT64_MAX;
    } else {
        phase_ = Phase::NotStarted;
        upgradePollsLeft_ = 0;
        upgradeEndNs_ = INT64_MAX;
    }
    otherState_ = 0;
    startBeganNs_ = lockFromNs_ = lastAdvanceNs_ = now;
    forcedLock_ = forcedClock_ = forcedService_ = -1;
    apiDead_ = false;
    configured_ = false;
    ownIp_ = netmask_ = gateway_ = masterIp_ = 0;
    logMeanSync_ = 0;
    sls_ = config_.slsStart;
    noRx_ = config_.noRxStart;
    slsFrac_ = noRxFrac_ = 0;
    frozen_ = false;
    rng_ = SplitMix64(config_.seed);
    queuedPhase_.clear();
    lastPhase_ = 0;
    phaseSamples_ = 0;
    std::copy(std::begin(config_.failures), std::end(config_.failures), std::begin(failures_));
    journal_.clear();
    seq_ = 0;
    std::fill(std::begin(calls_), std::end(calls_), 0);
}

void Chip::advance(int64_t now) {
    if (phase_ == Phase::Upgrading && now >= upgradeEndNs_) phase_ = Phase::NotStarted;
    if (phase_ == Phase::Starting) {
        int64_t end = startBeganNs_ + startupNs();
        if (now >= end) {
            phase_ = Phase::Running;
            lockFromNs_ = end;
            lastAdvanceNs_ = end;
        }
    }
    if (phase_ == Phase::Running && now > lastAdvanceNs_) {
        accumulate(lastAdvanceNs_, now);
        lastAdvanceNs_ = now;
    }
}

void Chip::accumulate(int64_t from, int64_t to) {
    if (frozen_ || to <= from) return;
    int64_t span = to - from;
    int64_t unlocked;
    if (forcedLock_ == 1)
        unlocked = 0;
    else if (forcedLock_ == 0)
        unlocked = span;
    else
        unlocked = std::clamp<int64_t>(lockFromNs_ + lockNs() - from, 0, span);
    double u = static_cast<double>(unlocked) / 1e9;
    double l = static_cast<double>(span - unlocked) / 1e9;
    double perSecond = std::ldexp(1.0, -std::clamp(logMeanSync_, -10, 10));
    slsFrac_ += u;
    noRxFrac_ += perSecond * (u + l * static_cast<double>(config_.syncLossPerMille) / 1000.0);
    sls_ += takeWhole(slsFrac_);
    noRx_ += takeWhole(noRxFrac_);
}

bool Chip::lockedAt(int64_t now) const {
    if (forcedLock_ >= 0) return forcedLock_ == 1;
    return now >= lockFromNs_ + lockNs();
}

uint32_t Chip::reportedState() const {
    switch (phase_) {
        case Phase::Upgrading: return TOP_FW_UPGRADING;
        case Phase::NotStarted: return TOP_DRV_NOT_STARTED;
        case Phase::Starting: return TOP_DRV_STARTING;
        case Phase::Running: return TOP_DRV_RUNNING;
        case Phase::Other: return otherState_;
    }
    return otherState_;
}

int Chip::refuseUnlessRunning(Fn fn, std::string* warning) const {
    if (phase_ == Phase::Running) return 0;
    *warning = format("%s refused: driver state %u, allowed only while running (0)", fnName(fn), reportedState());
    return TOP_DRV_ERR_STATE;
}

template <class Body>
int Chip::call(Fn fn, std::string const& args, Body body) {
    std::string warning, note, value;
    int rc;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        int64_t now = nowNs();
        advance(now);
        ++calls_[idx(fn)];
        Failure& f = failures_[idx(fn)];
        if (f.status != 0 && f.remaining != 0) {
            if (f.remaining > 0) --f.remaining;
            rc = f.status;
            note = format("%s: failing with status %d as injected", fnName(fn), rc);
        } else {
            rc = body(now, &value, &warning, &note);
        }
        JournalEntry e;
        e.seq = ++seq_;
        e.fn = fn;
        e.args = args;
        e.result = rc;
        if (rc == 0) e.value = value;
        if (journal_.size() >= kJournalCapacity) journal_.pop_front();
        journal_.push_back(std::move(e));
    }
    if (!warning.empty()) TA_LOG(4, "%s", warning.c_str());
    if (!note.empty()) TA_LOG(5, "%s", note.c_str());
    return rc;
}

// ---- The driver functions ----

int Chip::init(unsigned long ownIp, unsigned long netmask, unsigned long gateway, unsigned long masterIp,
               int logMeanSync, int zero) {
    uint32_t own = low32(ownIp), mask = low32(netmask), gw = low32(gateway), master = low32(masterIp);
    std::string args = format("0x%08x, 0x%08x, 0x%08x, 0x%08x, %d, %d", own, mask, gw, master, logMeanSync, zero);
    return call(Fn::Init, args, [&](int64_t now, std::string*, std::string* warning, std::string* note) {
        char const* fn = fnName(Fn::Init);
        if (phase_ == Phase::Upgrading) {
            *warning = format("%s refused: firmware upgrade in progress (state 1)", fn);
            return TOP_DRV_ERR_STATE;
        }
        char const* why = nullptr;
        if (master == 0)
            why = "master address 0";
        else if (zero != 0)
            why = "last argument must be 0";
        else if (logMeanSync < INT16_MIN || logMeanSync > INT16_MAX)
            why = "log mean sync value outside 16 bits";
        else if (!contiguousMask(mask))
            why = "netmask not contiguous";
        else if ((own & mask) != (gw & mask) || own == gw)
            why = "gateway not a different host of the own subnet";
        else if (master == own)
            why = "master address is the own address";
        if (why) {
            *warning = format("%s refused: %s (%s)", fn, why, args.c_str());
            return TOP_DRV_ERR_PARAM;
        }
        phase_ = Phase::Starting;
        startBeganNs_ = now;
        apiDead_ = false;
        configured_ = true;
        ownIp_ = own;
        netmask_ = mask;
        gateway_ = gw;
        masterIp_ = master;
        logMeanSync_ = logMeanSync;
        *note = format("%s: configured with master %s, log mean sync %d; starting up", fn, ip(master).c_str(),
                       logMeanSync);
        return TOP_DRV_OK;
    });
}

int Chip::deinit() {
    return call(Fn::Deinit, "", [&](int64_t, std::string*, std::string* warning, std::string* note) {
        if (phase_ == Phase::Upgrading || phase_ == Phase::NotStarted) {
            *warning = format("%s refused: driver state %u (%s)", fnName(Fn::Deinit), reportedState(),
                              phase_ == Phase::Upgrading ? "firmware upgrade in progress" : "not started");
            return TOP_DRV_ERR_STATE;
        }
        phase_ = Phase::NotStarted;
        configured_ = false;
        *note = format("%s: chip disabled", fnName(Fn::Deinit));
        return TOP_DRV_OK;
    });
}

int Chip::getStateInfo(uint32_t* state) {
    return call(Fn::GetStateInfo, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        if (!state) {
            *warning = format("%s refused: null pointer for the state", fnName(Fn::GetStateInfo));
            return TOP_DRV_ERR_PARAM;
        }
        *state = reportedState();
        // Each poll during the upgrade counts towards its end.
        if (phase_ == Phase::Upgrading && upgradePollsLeft_ > 0 && --upgradePollsLeft_ == 0)
            phase_ = Phase::NotStarted;
        *value = format("%u", *state);
        return TOP_DRV_OK;
    });
}

template <class Read>
int Chip::query(Fn fn, uint32_t* out, std::string* value, std::string* warning, Read read) {
    if (!out) {
        *warning = format("%s refused: null pointer for the result", fnName(fn));
        return TOP_DRV_ERR_PARAM;
    }
    if (int rc = refuseUnlessRunning(fn, warning)) return rc;
    *out = read();
    *value = format("%u", *out);
    return TOP_DRV_OK;
}

int Chip::getApiState(uint32_t* state) {
    return call(Fn::GetApiState, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetApiState, state, value, warning, [&] { return apiDead_ ? 1u : 0u; });
    });
}

int Chip::getLockState(uint32_t* state) {
    return call(Fn::GetLockState, "", [&](int64_t now, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetLockState, state, value, warning, [&] { return lockedAt(now) ? 1u : 0u; });
    });
}

int Chip::getMasterClockState(uint32_t* state) {
    return call(Fn::GetMasterClockState, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetMasterClockState, state, value, warning,
                     [&] { return forcedClock_ >= 0 ? static_cast<uint32_t>(forcedClock_) : 1u; });
    });
}

int Chip::getMasterServiceState(uint32_t* state) {
    return call(Fn::GetMasterServiceState, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetMasterServiceState, state, value, warning,
                     [&] { return forcedService_ >= 0 ? static_cast<uint32_t>(forcedService_) : 1u; });
    });
}

int Chip::setMasterIp(unsigned long masterIp) {
    uint32_t master = low32(masterIp);
    return call(Fn::SetMasterIp, ip(master), [&](int64_t now, std::string*, std::string* warning, std::string* note) {
        if (int rc = refuseUnlessRunning(Fn::SetMasterIp, warning)) return rc;
        if (master == 0 || master == ownIp_) {
            *warning = format("%s refused: %s is not a master address", fnName(Fn::SetMasterIp), ip(master).c_str());
            return TOP_DRV_ERR_PARAM;
        }
        if (master != masterIp_) {
            // A new master: the lock is lost until the chip has locked to it.
            masterIp_ = master;
            lockFromNs_ = now;
            *note = format("%s: new master %s", fnName(Fn::SetMasterIp), ip(master).c_str());
        }
        return TOP_DRV_OK;
    });
}

int Chip::setMessageRate(int logMeanSync) {
    return call(Fn::SetMessageRate, format("%d", logMeanSync),
                [&](int64_t, std::string*, std::string* warning, std::string*) {
                    if (int rc = refuseUnlessRunning(Fn::SetMessageRate, warning)) return rc;
                    if (logMeanSync < INT16_MIN || logMeanSync > INT16_MAX) {
                        *warning = format("%s refused: log mean sync value %d outside 16 bits",
                                          fnName(Fn::SetMessageRate), logMeanSync);
                        return TOP_DRV_ERR_PARAM;
                    }
                    logMeanSync_ = logMeanSync;
                    return TOP_DRV_OK;
                });
}

int Chip::getPhaseError(float* phaseError) {
    return call(Fn::GetPhaseError, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        if (!phaseError) {
            *warning = format("%s refused: null pointer for the result", fnName(Fn::GetPhaseError));
            return TOP_DRV_ERR_PARAM;
        }
        if (int rc = refuseUnlessRunning(Fn::GetPhaseError, warning)) return rc;
        float sample;
        if (!queuedPhase_.empty()) {
            sample = queuedPhase_.front();
            queuedPhase_.pop_front();
        } else {
            sample = static_cast<float>(config_.phaseMean + config_.phaseSpread * (2.0 * rng_.unit() - 1.0));
        }
        lastPhase_ = sample;
        ++phaseSamples_;
        *phaseError = sample;
        *value = format("%g", static_cast<double>(sample));
        return TOP_DRV_OK;
    });
}

int Chip::getSLS(uint32_t* counter) {
    return call(Fn::GetSLS, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetSLS, counter, value, warning,
                     [&] { return sls_; });
    });
}

int Chip::getNoRxSyncMsg(uint32_t* counter) {
    return call(Fn::GetNoRxSyncMsg, "", [&](int64_t, std::string* value, std::string* warning, std::string*) {
        return query(Fn::GetNoRxSyncMsg, counter, value, warning, [&] { return noRx_; });
    });
}

// ---- Control ----

void Chip::powerUp() { powerUp(Config::fromEnvironment()); }

void Chip::powerUp(Config const& config) {
    std::lock_guard<std::mutex> lock(mutex_);
    powerUpLocked(config, nowNs());
}

Config Chip::config() const {
    std::lock_guard<std::mutex> lock(mutex_);
    return config_;
}

void Chip::startFirmwareUpgrade(uint32_t polls, double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = nowNs();
    advance(now);
    seconds = std::clamp(seconds, 0.0, kMaxSeconds);
    phase_ = Phase::Upgrading;
    upgradePollsLeft_ = polls;
    upgradeEndNs_ = seconds > 0 ? now + secondsToNs(seconds) : INT64_MAX;
    configured_ = false;
    apiDead_ = false;
}

void Chip::setState(uint32_t state) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = nowNs();
    advance(now);
    switch (state) {
        case TOP_DRV_RUNNING:
            phase_ = Phase::Running;
            lockFromNs_ = lastAdvanceNs_ = now;
            break;
        case TOP_FW_UPGRADING:
            phase_ = Phase::Upgrading;
            upgradePollsLeft_ = 0;
            upgradeEndNs_ = INT64_MAX;
            configured_ = false;
            break;
        case TOP_DRV_STARTING:
            phase_ = Phase::Starting;
            startBeganNs_ = now;
            break;
        case TOP_DRV_NOT_STARTED:
            phase_ = Phase::NotStarted;
            configured_ = false;
            break;
        default:
            phase_ = Phase::Other;
            otherState_ = state;
            break;
    }
}

void Chip::setStartupSeconds(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(nowNs());
    config_.startupSeconds = std::clamp(seconds, 0.0, kMaxSeconds);
}

void Chip::setLockSeconds(double seconds) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(nowNs());
    config_.lockSeconds = std::clamp(seconds, 0.0, kMaxSeconds);
}

void Chip::forceLock(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = nowNs();
    advance(now);
    // Back to the model after a forced loss: the chip locks again only after the lock delay.
    if (value < 0 && forcedLock_ == 0) lockFromNs_ = now;
    forcedLock_ = value < 0 ? -1 : (value ? 1 : 0);
}

void Chip::forceMasterClock(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    forcedClock_ = value < 0 ? -1 : (value ? 1 : 0);
}

void Chip::forceMasterService(int value) {
    std::lock_guard<std::mutex> lock(mutex_);
    forcedService_ = value < 0 ? -1 : (value ? 1 : 0);
}

void Chip::killApi() {
    std::lock_guard<std::mutex> lock(mutex_);
    apiDead_ = true;
}

void Chip::injectFailure(Fn fn, int status, int count) {
    std::lock_guard<std::mutex> lock(mutex_);
    Failure& f = failures_[idx(fn)];
    f.status = status;
    f.remaining = status == 0 ? 0 : (count < 0 ? -1 : count);
}

void Chip::clearFailures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::fill(std::begin(failures_), std::end(failures_), Failure());
}

void Chip::setCounters(uint32_t sls, uint32_t noRxSync) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(nowNs());
    sls_ = sls;
    noRx_ = noRxSync;
    slsFrac_ = noRxFrac_ = 0;
}

void Chip::freezeCounters(bool frozen) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(nowNs());
    frozen_ = frozen;
}

void Chip::setSyncLossPerMille(uint32_t perMille) {
    std::lock_guard<std::mutex> lock(mutex_);
    advance(nowNs());
    config_.syncLossPerMille = std::min<uint32_t>(perMille, 1000);
}

void Chip::setPhaseError(double mean, double spread) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.phaseMean = mean;
    config_.phaseSpread = std::fabs(spread);
}

void Chip::setSeed(uint64_t seed) {
    std::lock_guard<std::mutex> lock(mutex_);
    config_.seed = seed;
    rng_ = SplitMix64(seed);
}

void Chip::queuePhaseErrors(std::vector<float> const& samples) {
    std::lock_guard<std::mutex> lock(mutex_);
    queuedPhase_.insert(queuedPhase_.end(), samples.begin(), samples.end());
}

Status Chip::status() {
    std::lock_guard<std::mutex> lock(mutex_);
    int64_t now = nowNs();
    advance(now);
    bool running = phase_ == Phase::Running;
    Status s;
    s.state = reportedState();
    s.fwPollsLeft = phase_ == Phase::Upgrading ? upgradePollsLeft_ : 0;
    s.apiDead = apiDead_;
    s.configured = configured_;
    s.lockState = running && lockedAt(now) ? 1 : 0;
    s.masterClockState = running ? (forcedClock_ >= 0 ? static_cast<uint32_t>(forcedClock_) : 1) : 0;
    s.masterServiceState = running ? (forcedService_ >= 0 ? static_cast<uint32_t>(forcedService_) : 1) : 0;
    s.ownIp = ownIp_;
    s.netmask = netmask_;
    s.gateway = gateway_;
    s.masterIp = masterIp_;
    s.logMeanSync = logMeanSync_;
    s.sls = sls_;
    s.noRxSync = noRx_;
    s.countersFrozen = frozen_;
    s.phaseSamples = phaseSamples_;
    s.lastPhaseError = lastPhase_;
    return s;
}

std::vector<JournalEntry> Chip::journal(size_t last) const {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = std::min(last, journal_.size());
    return std::vector<JournalEntry>(journal_.end() - static_cast<std::ptrdiff_t>(n), journal_.end());
}

uint64_t Chip::callCount(Fn fn) const {
    std::lock_guard<std::mutex> lock(mutex_);
    return calls_[idx(fn)];
}

void Chip::clearJournal() {
    std::lock_guard<std::mutex> lock(mutex_);
    journal_.clear();
}

Chip& control() {
    static Chip* chip = [] {
        Chip* c = new Chip;  // never destroyed: the driver may be called from exit paths
        startControlChannel(*c);
        return c;
    }();
    return *chip;
}

}  // namespace topdrv
