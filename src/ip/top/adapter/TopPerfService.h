// The performance counters of one enabled ToP flow, published
// through its PerformanceService object by a PerformanceServiceAdapter:
//   1  seconds without lock (topDrvAdapIf_getSLS), per-interval difference
//   2  minimum phase error of the interval (sampled once a minute)
//   3  average phase error
//   4  maximum phase error
//   5  sync messages missed (topDrvAdapIf_getNoRxSyncMsg), per-interval difference
//
// IpIfPerfService keeps interval differences of free-running 32-bit driver
// counters read through its Reader; its identifiers, the ident-1 ceiling and
// its log source are the ToP's, so it lives here and is instantiated once.
#pragma once

#include <stdint.h>

#include <map>
#include <string>
#include <vector>

#include "OSWrap.h"
#include "PerformanceServiceAdapter.h"
#include "PerformanceServiceUserIf.h"
#include "REFLECT_Mutex.h"

namespace Performance {

// Reads the two driver counters.
class TopPerfReader {
public:
    // With `identFromValue` the identifier is taken from `value` first. False
    // when the driver is not running, the read fails or the ident is no counter.
    static bool ReadCounterData(unsigned long& value, unsigned long ident, bool identFromValue);
};

template <class K, class V, class Reader>
class IpIfPerfService : public PerformanceServiceUserIf {
public:
    typedef std::map<K, V> DataMap;
    // The identifiers of the data map.
    static std::vector<K> const dataMapInit;

    // Construct and register the adapter; the derived service fills the
    // data map (InitDataMap) once its own parts are there.
    explicit IpIfPerfService(TreflectObject const& monitored);
    explicit IpIfPerfService(std::string const& name);
    ~IpIfPerfService() override;

    bool getCurrentData(unsigned long const& ident, unsigned long& value) override;
    void changeOfInterval() override;

    // (now - old) modulo 2^32; for ident 1 a difference above 898 is 900.
    static V intervalDifference(V old, V now, K ident);

    PerformanceServiceAdapter& adapter() { return adapter_; }
    DataMap const& dataMap() const { return dataMap_; }

protected:
    void InitDataMap();

    PerformanceServiceAdapter adapter_;
    DataMap dataMap_;
};

class TopPerfService : public IpIfPerfService<unsigned long, unsigned long, TopPerfReader> {
public:
    struct PhaseErrors {
        int32_t minimum, average, maximum;
        uint32_t samples;
    };

    explicit TopPerfService(TreflectObject const& monitored);
    explicit TopPerfService(std::string const& name);
    ~TopPerfService() override;

    // Idents 2, 3 and 4 from the statistics; the others from the driver.
    bool getCurrentData(unsigned long const& ident, unsigned long& value) override;
    // Closes the interval: phase errors first, then the driver counters.
    void changeOfInterval() override;
    // "TopPerfServiceTimer", every 60 s; returns 0. Runs without the run
    // permission and is the only thread that blocks on the statistics lock.
    int OnTimerExpire();

    PhaseErrors phaseErrors();
    // One sample into the statistics: minimum, maximum and the running
    // average in 32-bit integer arithmetic.
    static void accumulate(PhaseErrors& p, int32_t sample);

private:
    void start();
    // A holder of the run permission try-locks and yields the processor, never
    // blocking with the permission given up; others block.
    void lockStatistics();
    void PhaseErrCounterInit();
    void PhaseErrCounterUpdate();
    // The driver's phase error truncated toward zero; 0 when it cannot be read.
    int32_t phaseSample(char const* caller);

    OSWrap::AttachedTimer<TopPerfService> timer_;
    int32_t minimum_;
    int32_t average_;
    int32_t maximum_;
    uint32_t samples_;
    TreflectMutex lock_;
};

}  // namespace Performance
