#include "TopServicesAdapter.h"

#include <vector>

#include "Env.h"
#include "REFLECT_orb.h"
#include "TopTrace.h"
#include "UnitIdClient.h"
#include "UnitInformation.h"

TopServicesAdapter* TopServicesAdapter::instance() {
    TOP_TRACE("%s() called", "instance");
    return Afw::Singleton<TopServicesAdapter>::get();
}

TopServicesAdapter::TopServicesAdapter()
    : services_(TipprmiOID(TopServicesClient::NAME, NSID_UNIT)),
      ownUnit_(UnitInformation::instance()->getUnitNumber()),
      poller_(this, &TopServicesAdapter::poll, "OSWTimer"),
      timerRunning_(false),
      topPresent_(false),
      creationObserver_(this, &TopServicesAdapter::detectTopFlowCreation),
      deletionObserver_(this, &TopServicesAdapter::detectTopFlowDeletion) {
    TOP_TRACE("%s() called", "TopServicesAdapter");
}

TopServicesAdapter::~TopServicesAdapter() {
    TOP_TRACE("~%s() called", "~TopServicesAdapter");
    if (timerRunning_) poller_.stop();
}

void TopServicesAdapter::start() {
    TOP_TRACE("%s() called", "start");
    RunPermissionGuard permission;
    if (!envInfoTimingOverPacketSupported()) {
        topPresent_ = false;
        TOP_TRACE("TOP Not Present: Not Observing Top Flow");
        return;
    }
    topPresent_ = true;
    TopFlowClient::ClientSpecificMetaObject* meta = TopFlowClient::staticMeta();
    meta->observeCreations(&creationObserver_, true);
    meta->observeDeletions(&deletionObserver_);
}

void TopServicesAdapter::stop() {
    TOP_TRACE("%s() called", "stop");
    RunPermissionGuard permission;
    if (!topPresent_) return;
    TopFlowClient::staticMeta()->removeObserver(&creationObserver_);
    TopFlowClient::staticMeta()->removeObserver(&deletionObserver_);
}

void TopServicesAdapter::startEventPoller() {
    TOP_TRACE("%s() called", "startEventPoller");
    if (timerRunning_) return;
    poller_.start(OSWrap::TimeSpec(10, 0), true, true);
    timerRunning_ = true;
}

bool TopServicesAdapter::detectTopFlowCreation(TreflectObserver* notification) {
    TOP_TRACE("%s() called", "detectTopFlowCreation");
    RunPermissionGuard permission;
    TopFlowClient const flow(*notification->getSource());
    if (UnitIdClient(flow.getLocationId()).getUnitNumber() != ownUnit_) return true;
    TOP_TRACE("Creating Flow Adapter");
    boost::shared_ptr<TopFlowAdapter> adapter(new TopFlowAdapter(flow));
    // A second notice of the same object keeps the first adapter.
    table_.insert(std::make_pair(flow, adapter));
    return true;
}

bool TopServicesAdapter::detectTopFlowDeletion(TreflectObserver* notification) {
    TOP_TRACE("%s() called", "detectTopFlowDeletion");
    RunPermissionGuard permission;
    TopFlowClient const flow(*notification->getSource());
    auto it = table_.find(flow);
    if (it == table_.end()) return true;
    TOP_TRACE("Deleting Flow Adapter");
    // Out of the table before it goes: its destruction lets other threads run.
    boost::shared_ptr<TopFlowAdapter> doomed = it->second;
    table_.erase(it);
    doomed.reset();
    return true;
}

// On the timer's thread. Posting gives the run permission up while it waits
// for the event bus's locks, so the table may change meanwhile: the poll
// walks a copy, which keeps each adapter alive until it has been polled.
int TopServicesAdapter::poll() {
    RunPermissionGuard permission;
    std::vector<boost::shared_ptr<TopFlowAdapter> > adapters;
    for (auto const& entry : table_) adapters.push_back(entry.second);
    for (auto const& adapter : adapters) adapter->pollConditions();
    return 0;
}
