#include "TopServicesAdapter.h"

#include <algorithm>
#include <cstring>
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
      deletionObserver_(this, &TopServicesAdapter::detectTopFlowDeletion),
      modelBackPolls_(0) {
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
    // A repeated notice keeps the first adapter: a second one's teardown
    // would stop the chip and drop the first one's alarm records.
    if (table_.count(flow)) return true;
    UnitIdClient const location(flow.getLocationId());
    if (location.getUnitNumber() != ownUnit_) return true;
    if (table_.count(flow) || adoptOrphan(flow, location)) return true;
    TOP_TRACE("Creating Flow Adapter");
    // The entry is reserved while the adapter is built, which lets other
    // threads run: a repeated notice finds it, a deletion notice erases it.
    table_.insert(std::make_pair(flow, boost::shared_ptr<TopFlowAdapter>()));
    boost::shared_ptr<TopFlowAdapter> adapter(new TopFlowAdapter(flow));
    auto it = table_.find(flow);
    if (it != table_.end() && !it->second)
        it->second = adapter;
    else
        adapter->close();  // the flow was deleted meanwhile
    return true;
}

bool TopServicesAdapter::detectTopFlowDeletion(TreflectObserver* notification) {
    TOP_TRACE("%s() called", "detectTopFlowDeletion");
    RunPermissionGuard permission;
    TopFlowClient const flow(*notification->getSource());
    auto it = table_.find(flow);
    if (it == table_.end()) return true;
    TOP_TRACE("Deleting Flow Adapter");
    boost::shared_ptr<TopFlowAdapter> doomed = it->second;
    table_.erase(it);
    // Taken down here, not by whoever drops the last reference: a poll that
    // still holds one would stop the chip after a re-created flow's start.
    if (doomed) doomed->close();
    return true;
}

// On the timer's thread. Posting gives the run permission up while it waits
// for the event bus's locks, so the table may change meanwhile: the poll
// walks a copy, which keeps each adapter alive until it has been polled.
int TopServicesAdapter::poll() {
    RunPermissionGuard permission;
    std::vector<boost::shared_ptr<TopFlowAdapter> > adapters;
    for (auto const& entry : table_)
        if (entry.second) adapters.push_back(entry.second);
    for (auto const& adapter : adapters) adapter->pollConditions();
    sweepOrphans();
    return 0;
}

bool TopServicesAdapter::adoptOrphan(TopFlowClient const& flow, UnitIdClient const& location) {
    auto lost = [](Table::value_type const& e) { return e.second && e.second->flowLost(); };
    if (std::none_of(table_.begin(), table_.end(), lost)) return false;
    uint32_t const key = static_cast<uint32_t>(location.getIdentifier());
    if (table_.count(flow)) return true;
    for (auto it = table_.begin(); it != table_.end(); ++it) {
        if (lost(*it) && it->second->eventKey() == key) {
            reattach(it, flow);
            return true;
        }
    }
    return false;
}

void TopServicesAdapter::reattach(Table::iterator orphan, TopFlowClient const& flow) {
    TOP_TRACE("Reattaching Flow Adapter");
    boost::shared_ptr<TopFlowAdapter> adapter = orphan->second;
    table_.erase(orphan);
    table_.insert(std::make_pair(flow, adapter));
    // A deletion notice meanwhile finds the adapter under its new key; its
    // teardown waits until the rebinding is done.
    adapter->rebind(flow);
}

void TopServicesAdapter::sweepOrphans() {
    std::vector<Table::value_type> orphans;
    for (auto const& entry : table_)
        if (entry.second && entry.second->flowLost()) orphans.push_back(entry);
    // A fresh handle on the services object resolves anew: the model is back when it connects.
    if (orphans.empty() || !TopServicesClient(TipprmiOID(TopServicesClient::NAME, NSID_UNIT)).isConnected()) {
        modelBackPolls_ = 0;
        return;
    }
    // One poll period for the model to announce its flows.
    if (++modelBackPolls_ < 2) return;
    for (auto const& orphan : orphans) {
        auto it = table_.find(orphan.first);
        if (it == table_.end() || it->second != orphan.second) continue;  // adopted meanwhile
        // A named flow the announcements missed is looked up by its name.
        TipprmiOID const oid = orphan.first.getOID();
        char const* name = oid.getIdString();
        if (name && std::strncmp(name, "rmi_", 4) != 0) {
            TopFlowClient const fresh(oid);
            it = table_.find(orphan.first);
            if (it == table_.end() || it->second != orphan.second) continue;
            if (fresh.isConnected() && !table_.count(fresh)) {
                reattach(it, fresh);
                continue;
            }
        }
        TOP_TRACE("Deleting Flow Adapter");
        table_.erase(it);
        orphan.second->close();
    }
}
