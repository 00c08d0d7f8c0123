// The task's root in the management model: follows the TopFlow objects as
// they are created and deleted, keeps one flow adapter for each flow of its
// own unit, and polls the flows' alarm conditions every 10 s.
#pragma once

#include <map>

#include <boost/shared_ptr.hpp>

#include "AfwSingleton.h"
#include "OSWrap.h"
#include "REFLECT_ObserverSkeleton.h"
#include "TopFlowAdapter.h"
#include "TopServicesClient.h"

class TopServicesAdapter {
public:
    // Clients of one object are one key: they share its stub.
    struct ByStub {
        bool operator()(TopFlowClient const& a, TopFlowClient const& b) const { return a.getStub_() < b.getStub_(); }
    };
    typedef std::map<TopFlowClient, boost::shared_ptr<TopFlowAdapter>, ByStub> Table;

    static TopServicesAdapter* instance();
    virtual ~TopServicesAdapter();

    TopServicesClient getSvc() const { return services_; }
    // Starts following the TopFlow objects, those that exist included.
    void start();
    void stop();
    // Starts the 10-second poll once.
    void startEventPoller();

    bool detectTopFlowCreation(TreflectObserver* notification);
    bool detectTopFlowDeletion(TreflectObserver* notification);

    // For inspection, with the run permission held.
    Table const& table() const { return table_; }

private:
    friend class Afw::Singleton<TopServicesAdapter>;
    TopServicesAdapter();
    int poll();

    Table table_;
    TopServicesClient services_;
    unsigned long ownUnit_;
    OSWrap::AttachedTimer<TopServicesAdapter> poller_;
    bool timerRunning_;
    bool topPresent_;
    TreflectNotificator<TopServicesAdapter> creationObserver_, deletionObserver_;
};
