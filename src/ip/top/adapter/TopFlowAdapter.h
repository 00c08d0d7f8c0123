// One TopFlow object of the management model bound to the ToP chip: enables
// and configures the chip from the flow's administrative state, master
// address and message rate, waits for the driver's start-up, revives a
// driver whose API died, answers the flow's driver information and polls the
// flow's two alarm conditions.
#pragma once

#include <stdint.h>

#include "OSWrap.h"
#include "REFLECT_ObserverSkeleton.h"
#include "TopFlowClient.h"

namespace Performance {
class TopPerfService;
}

class TopFlowAdapter {
public:
    // Adapter states.
    enum State : int32_t { DISABLED = 0, ENABLED = 1, STARTING = 2, RUNNING = 3 };

    // Called with the run permission held (an ORB handler thread).
    explicit TopFlowAdapter(TopFlowClient const& flow);
    ~TopFlowAdapter();
    TopFlowAdapter(TopFlowAdapter const&) = delete;
    TopFlowAdapter& operator=(TopFlowAdapter const&) = delete;

    void enableAdapter();
    void disableAdapter();

    // Observation callbacks; each returns 1.
    bool detectSetLogMeanSyncValue(TreflectObserver* notification);
    bool detectSetMasterIp4Addr(TreflectObserver* notification);
    bool detectGetDriverInfo(TreflectObserver* notification);
    bool detectFaultSvcStateChange(TreflectObserver* notification);

    // Body of "topStartUpWait"; returns 0.
    int DrvStartUpWait();
    // The API supervisor, every 10 s; returns 0.
    int oPeriodicTopDrvInfoRead();
    // Posts the flow's two alarm conditions (the services adapter's poll).
    void pollConditions();

    // The driver runs and the adapter knows it.
    bool driverReady() const;
    int32_t state() const { return state_; }
    uint32_t eventKey() const { return eventKey_; }
    uint32_t masterIp() const { return masterIp_; }
    short logMeanSyncValue() const { return logMeanSyncValue_; }

    // The flow's master address, element 0 the most significant octet.
    static uint32_t foldAddress(TipprmiArray<short, 4> const& address);

private:
    bool adminEnabling();
    void chipStart();
    void chipConfiguration();
    void chipStop();
    // Reads argument `n` of the notified call into `out`; false when the flow
    // holds an exception or the argument is not there.
    template <class T>
    bool argument(TreflectObserver* notification, unsigned long n, T& out);

    TopFlowClient flow_;
    Performance::TopPerfService* perfService_;
    uint32_t eventKey_;
    uint32_t masterIp_;
    short logMeanSyncValue_;
    int32_t state_;
    bool pending_;
    OSWrap::MethodThread<TopFlowAdapter> topStartUpWait_;
    TreflectNotificator<TopFlowAdapter> logMeanSyncObserver_, masterIpObserver_, driverInfoObserver_, adminObserver_;
    OSWrap::AttachedTimer<TopFlowAdapter> supervisor_;
};
