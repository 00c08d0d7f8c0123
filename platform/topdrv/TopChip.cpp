// The simulated chip over time (power-up, start-up, lock, the counters), its
// control and its status; the driver functions are in TopChipDriver.cpp.
#include "TopChip.h"

#include "ChipControl.h"
#include "ChipHelpers.h"
#include "topDrvAdapIf.h"

namespace topdrv {

using namespace detail;

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
