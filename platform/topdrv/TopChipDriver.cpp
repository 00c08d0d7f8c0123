// The driver functions of the simulated chip: each one a journalled call that
// an injected failure may answer instead.
#include <pthread.h>

#include <algorithm>
#include <chrono>

#include "ChipHelpers.h"
#include "Log.h"
#include "topDrvAdapIf.h"

namespace topdrv {

using namespace detail;

int Chip::refuseUnlessRunning(Fn fn, std::string* warning) const {
    if (phase_ == Phase::Running) return 0;
    *warning = format("%s refused: driver state %u, allowed only while running (0)", fnName(fn), reportedState());
    return TOP_DRV_ERR_STATE;
}

template <class Body>
int Chip::call(Fn fn, std::string const& args, Body body) {
    std::string warning, note, value;
    char thread[16] = "";
    pthread_getname_np(pthread_self(), thread, sizeof thread);
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
        e.wallUs = std::chrono::duration_cast<std::chrono::microseconds>(
                       std::chrono::system_clock::now().time_since_epoch())
                       .count();
        e.thread = thread;
        std::replace(e.thread.begin(), e.thread.end(), ' ', '_');  // one word in the journal's lines
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

}  // namespace topdrv
