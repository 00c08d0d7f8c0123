#include "TopPerfService.h"

#include <sched.h>

#include "Log.h"
#include "REFLECT_orb.h"
#include "TopFlowClient.h"
#include "TopTrace.h"
#include "topDrvAdapIf.h"

namespace Performance {

namespace {

constexpr unsigned long kSls = 1, kNoRxSync = 5;
constexpr unsigned long kMin = TopFlowClient::PM_IDENT_MIN_PHASE_ERROR, kAvg = TopFlowClient::PM_IDENT_AVG_PHASE_ERROR,
                        kMax = TopFlowClient::PM_IDENT_MAX_PHASE_ERROR;

// A 32-bit signed statistic as the counter value it is published as.
unsigned long published(int32_t v) { return static_cast<unsigned long>(static_cast<uint32_t>(v)); }

// Truncation toward zero, kept inside 32 bits.
int32_t truncated(float f) {
    if (!(f > -2147483648.0f)) return f != f ? 0 : INT32_MIN;
    if (!(f < 2147483648.0f)) return INT32_MAX;
    return static_cast<int32_t>(f);
}

}  // namespace

// ---- the reader of the two driver counters ----

bool TopPerfReader::ReadCounterData(unsigned long& value, unsigned long ident, bool identFromValue) {
    if (identFromValue) ident = value;
    value = 0;
    uint32_t state = 0;
    if (topDrvAdapIf_getStateInfo(&state) != 0 || state != TOP_DRV_RUNNING) {
        TOP_TRACE_STATE("%s(): wrong state = %d", "ReadCounterData", static_cast<int>(state));
        return false;
    }
    uint32_t counter = 0;
    if (ident == kSls) {
        if (topDrvAdapIf_getSLS(&counter) != 0) {
            TOP_TRACE_ERROR("%s(): topDrvAdapIf_getSLS failed", "ReadCounterData");
            return false;
        }
    } else if (ident == kNoRxSync) {
        if (topDrvAdapIf_getNoRxSyncMsg(&counter) != 0) {
            TOP_TRACE_ERROR("%s(): topDrvAdapIf_getNoRxSyncMsg failed", "ReadCounterData");
            return false;
        }
    } else {
        return false;
    }
    value = counter;
    return true;
}

// ---- interval differences of the driver counters ----

template <>
std::vector<unsigned long> const IpIfPerfService<unsigned long, unsigned long, TopPerfReader>::dataMapInit = {kSls,
                                                                                                          kNoRxSync};

template <class K, class V, class Reader>
IpIfPerfService<K, V, Reader>::IpIfPerfService(TreflectObject const& monitored)
    : adapter_(this, monitored, true, true) {}

template <class K, class V, class Reader>
IpIfPerfService<K, V, Reader>::IpIfPerfService(std::string const& name) : adapter_(this, name, true, true) {}

template <class K, class V, class Reader>
IpIfPerfService<K, V, Reader>::~IpIfPerfService() {
    TA_LOG(6, "%s()", "~IpIfPerfService");
    dataMap_.clear();
}

template <class K, class V, class Reader>
V IpIfPerfService<K, V, Reader>::intervalDifference(V old, V now, K ident) {
    V const d = static_cast<uint32_t>(now - old);
    return ident == kSls && d > 898 ? 900 : d;
}

template <class K, class V, class Reader>
void IpIfPerfService<K, V, Reader>::InitDataMap() {
    TA_LOG(6, "%s()", "InitDataMap");
    for (K const ident : dataMapInit) {
        V value = 0;
        if (Reader::ReadCounterData(value, ident, false)) {
            TA_LOG(6, "%s(): init counter %d, value = %u", "InitDataMap", static_cast<int>(ident),
                   static_cast<unsigned>(intervalDifference(0, value, ident)));
            dataMap_[ident] = value;
        } else {
            dataMap_[ident] = 0;
        }
    }
}

template <class K, class V, class Reader>
bool IpIfPerfService<K, V, Reader>::getCurrentData(unsigned long const& ident, unsigned long& value) {
    auto it = dataMap_.find(ident);
    if (it == dataMap_.end()) {
        TA_LOG(3, "%s() ident is not in the table %d", "getCurrentData", static_cast<int>(ident));
        return false;
    }
    V now = 0;
    if (Reader::ReadCounterData(now, ident, false)) {
        value = intervalDifference(it->second, now, ident);
        TA_LOG(6, "%s(): reading counter %d, value = %u", "getCurrentData", static_cast<int>(ident),
               static_cast<unsigned>(value));
    } else {
        TA_LOG(4, "%s(): read error, counter %d", "getCurrentData", static_cast<int>(ident));
        value = intervalDifference(0, it->second, ident);
    }
    return true;
}

template <class K, class V, class Reader>
void IpIfPerfService<K, V, Reader>::changeOfInterval() {
    for (auto& entry : dataMap_) {
        K const ident = entry.first;
        V now = 0;
        V difference;
        if (Reader::ReadCounterData(now, ident, false)) {
            difference = intervalDifference(entry.second, now, ident);
            TA_LOG(6, "%s(): Storing counter %d, value = %u", "changeOfInterval", static_cast<int>(ident),
                   static_cast<unsigned>(difference));
        } else {
            TA_LOG(4, "%s(): read error, counter %d", "changeOfInterval", static_cast<int>(ident));
            now = 0;
            difference = intervalDifference(0, entry.second, ident);
        }
        adapter_.addHistoricData(ident, difference);
        entry.second = now;
    }
}

template class IpIfPerfService<unsigned long, unsigned long, TopPerfReader>;

// ---- the ToP flow's service: phase errors besides ----

TopPerfService::TopPerfService(TreflectObject const& monitored)
    : IpIfPerfService(monitored), timer_(this, &TopPerfService::OnTimerExpire, "TopPerfServiceTimer") {
    start();
}

TopPerfService::TopPerfService(std::string const& name)
    : IpIfPerfService(name), timer_(this, &TopPerfService::OnTimerExpire, "TopPerfServiceTimer") {
    start();
}

void TopPerfService::start() {
    TOP_TRACE("%s()", "TopPerfService");
    PhaseErrCounterInit();
    InitDataMap();
    timer_.start(OSWrap::TimeSpec(60, 0), true, true);
}

TopPerfService::~TopPerfService() {
    TOP_TRACE("%s()", "~TopPerfService");
    // No handler may be inside this service while its parts go.
    adapter_.close();
    timer_.stop();
}

bool TopPerfService::getCurrentData(unsigned long const& ident, unsigned long& value) {
    if (ident != kMin && ident != kAvg && ident != kMax) return IpIfPerfService::getCurrentData(ident, value);
    PhaseErrors const p = phaseErrors();
    value = published(ident == kMin ? p.minimum : ident == kAvg ? p.average : p.maximum);
    return true;
}

void TopPerfService::changeOfInterval() {
    PhaseErrors const closed = phaseErrors();
    PhaseErrCounterInit();
    adapter_.addHistoricData(kMin, published(closed.minimum));
    adapter_.addHistoricData(kAvg, published(closed.average));
    adapter_.addHistoricData(kMax, published(closed.maximum));
    IpIfPerfService::changeOfInterval();
}

int TopPerfService::OnTimerExpire() {
    TOP_TRACE("%s()", "OnTimerExpire");
    PhaseErrCounterUpdate();
    return 0;
}

// A holder of the run permission never waits for the statistics with the
// permission given up (the service could be deleted meanwhile): the timer
// thread, the only other holder of the lock, keeps it for a few instructions.
void TopPerfService::lockStatistics() {
    if (!TreflectORB::hasRunPermission()) return lock_.lock();
    while (!lock_.trylock()) sched_yield();
}

TopPerfService::PhaseErrors TopPerfService::phaseErrors() {
    lockStatistics();
    PhaseErrors const p = {minimum_, average_, maximum_, samples_};
    lock_.unlock();
    return p;
}

void TopPerfService::accumulate(PhaseErrors& p, int32_t sample) {
    p.samples += 1;
    if (!(p.minimum < sample)) p.minimum = sample;
    if (!(p.maximum >= sample)) p.maximum = sample;
    // Signed 32-bit arithmetic, wrapping as the card's does; division truncates toward zero.
    int32_t const step = static_cast<int32_t>(static_cast<uint32_t>(sample) - static_cast<uint32_t>(p.average));
    p.average = static_cast<int32_t>(static_cast<uint32_t>(p.average) +
                                     static_cast<uint32_t>(step / static_cast<int64_t>(p.samples)));
}

int32_t TopPerfService::phaseSample(char const* caller) {
    uint32_t state = 0;
    if (topDrvAdapIf_getStateInfo(&state) != 0 || state != TOP_DRV_RUNNING) {
        TOP_TRACE_STATE("%s(): wrong state = %d", caller, static_cast<int>(state));
        return 0;
    }
    float phase = 0;
    if (topDrvAdapIf_getPhaseError(&phase) != 0) {
        TOP_TRACE_ERROR("%s(): topDrvAdapIf_getPhaseError failed", caller);
        phase = 0;
    }
    return truncated(phase);
}

void TopPerfService::PhaseErrCounterInit() {
    int32_t const sample = phaseSample("PhaseErrCounterInit");
    lockStatistics();
    minimum_ = average_ = maximum_ = sample;
    samples_ = 1;
    PhaseErrors const p = {minimum_, average_, maximum_, samples_};
    lock_.unlock();
    TOP_TRACE("%s(): Phase error: min = %d, max = %d, avr = %d", "PhaseErrCounterInit", p.minimum, p.maximum,
              p.average);
}

void TopPerfService::PhaseErrCounterUpdate() {
    int32_t const sample = phaseSample("PhaseErrCounterUpdate");
    lockStatistics();
    PhaseErrors p = {minimum_, average_, maximum_, samples_};
    accumulate(p, sample);
    minimum_ = p.minimum;
    average_ = p.average;
    maximum_ = p.maximum;
    samples_ = p.samples;
    lock_.unlock();
    TOP_TRACE("%s(): Phase error: cur = %d, min = %d, max = %d, avr = %d", "PhaseErrCounterUpdate", sample, p.minimum,
              p.maximum, p.average);
}

}  // namespace Performance
