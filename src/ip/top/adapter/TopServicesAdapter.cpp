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
    // Deletions first: handing the existing flows over builds an adapter for
    // each, and one deleted meanwhile must be heard of.
    meta->observeDeletions(&deletionObserver_);
    meta->observeCreations(&creationObserver_, true);
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

std::vector<boost::shared_ptr<TopFlowAdapter> > TopServicesAdapter::liveAdapters() const {
    std::vector<boost::shared_ptr<TopFlowAdapter> > live;
    for (auto const& entry : table_)
        if (entry.second.phase == Entry::LIVE) live.push_back(entry.second.adapter);
    return live;
}

TopServicesAdapter::Table::iterator TopServicesAdapter::entryOf(TopFlowClient const& flow, Entry::Phase phase,
                                                                boost::shared_ptr<TopFlowAdapter> const& adapter) {
    auto it = table_.find(flow);
    return it != table_.end() && it->second.phase == phase && it->second.adapter == adapter ? it : table_.end();
}

bool TopServicesAdapter::detectTopFlowCreation(TreflectObserver* notification) {
    TOP_TRACE("%s() called", "detectTopFlowCreation");
    RunPermissionGuard permission;
    TopFlowClient const flow(*notification->getSource());
    // Claimed before the first yield. A repeated notice finds the claim and
    // keeps the first adapter (a second one's teardown would stop the chip
    // and drop the first one's alarm records); a deletion notice marks it.
    Entry const building = {Entry::BUILDING, boost::shared_ptr<TopFlowAdapter>()};
    if (!table_.insert(std::make_pair(flow, building)).second) return true;
    UnitIdClient const location(flow.getLocationId());
    bool const own = location.getUnitNumber() == ownUnit_;
    // Still this handler's: nobody else erases a building entry.
    auto it = table_.find(flow);
    if (!own || it->second.phase == Entry::CLOSING) {
        table_.erase(it);
        return true;
    }
    if (adoptOrphan(flow, location)) return true;
    it = table_.find(flow);
    if (it->second.phase == Entry::CLOSING) {
        table_.erase(it);
        return true;
    }
    TOP_TRACE("Creating Flow Adapter");
    boost::shared_ptr<TopFlowAdapter> adapter(new TopFlowAdapter(flow));
    it = table_.find(flow);
    if (it->second.phase == Entry::BUILDING) {
        it->second.phase = Entry::LIVE;
        it->second.adapter = adapter;
        return true;
    }
    // Deleted while it was built: taken down before the entry goes, so that
    // a repeated notice meanwhile still finds it.
    adapter->close();
    table_.erase(table_.find(flow));
    return true;
}

bool TopServicesAdapter::detectTopFlowDeletion(TreflectObserver* notification) {
    TOP_TRACE("%s() called", "detectTopFlowDeletion");
    RunPermissionGuard permission;
    TopFlowClient const flow(*notification->getSource());
    auto it = table_.find(flow);
    if (it == table_.end() || it->second.phase == Entry::CLOSING) return true;
    TOP_TRACE("Deleting Flow Adapter");
    if (it->second.phase == Entry::BUILDING) {
        it->second.phase = Entry::CLOSING;  // its builder takes it down
        return true;
    }
    closeEntry(it);
    return true;
}

// Taken down here, not by whoever drops the last reference: a poll that
// still holds one would stop the chip after a re-created flow's start.
void TopServicesAdapter::closeEntry(Table::iterator it) {
    TopFlowClient const flow = it->first;
    boost::shared_ptr<TopFlowAdapter> const adapter = it->second.adapter;
    it->second.phase = Entry::CLOSING;
    adapter->close();
    it = entryOf(flow, Entry::CLOSING, adapter);
    if (it != table_.end()) table_.erase(it);
}

// On the timer's thread. Posting gives the run permission up while it waits
// for the event bus's locks, so the table may change meanwhile: the poll
// walks a copy, which keeps each adapter alive until it has been polled.
int TopServicesAdapter::poll() {
    RunPermissionGuard permission;
    for (auto const& adapter : liveAdapters()) adapter->pollConditions();
    sweepOrphans();
    return 0;
}

bool TopServicesAdapter::adoptOrphan(TopFlowClient const& flow, UnitIdClient const& location) {
    auto lost = [](Table::value_type const& e) { return e.second.phase == Entry::LIVE && e.second.adapter->flowLost(); };
    if (std::none_of(table_.begin(), table_.end(), lost)) return false;
    uint32_t const key = static_cast<uint32_t>(location.getIdentifier());
    auto mine = table_.find(flow);
    if (mine->second.phase != Entry::BUILDING) return false;
    for (auto it = table_.begin(); it != table_.end(); ++it) {
        if (lost(*it) && it->second.adapter->eventKey() == key) {
            reattach(it, flow);
            return true;
        }
    }
    return false;
}

void TopServicesAdapter::reattach(Table::iterator orphan, TopFlowClient const& flow) {
    TOP_TRACE("Reattaching Flow Adapter");
    boost::shared_ptr<TopFlowAdapter> adapter = orphan->second.adapter;
    table_.erase(orphan);
    Entry& entry = table_[flow];
    entry.phase = Entry::LIVE;
    entry.adapter = adapter;
    // A deletion notice meanwhile finds the adapter under its new key; its
    // teardown waits until the rebinding is done.
    adapter->rebind(flow);
}

void TopServicesAdapter::sweepOrphans() {
    std::vector<Table::value_type> orphans;
    for (auto const& entry : table_)
        if (entry.second.phase == Entry::LIVE && entry.second.adapter->flowLost()) orphans.push_back(entry);
    // A fresh handle on the services object resolves anew: the model is back when it connects.
    if (orphans.empty() || !TopServicesClient(TipprmiOID(TopServicesClient::NAME, NSID_UNIT)).isConnected()) {
        modelBackPolls_ = 0;
        return;
    }
    // One poll period for the model to announce its flows.
    if (++modelBackPolls_ < 2) return;
    for (auto const& orphan : orphans) {
        TopFlowClient const& key = orphan.first;
        boost::shared_ptr<TopFlowAdapter> const& adapter = orphan.second.adapter;
        if (entryOf(key, Entry::LIVE, adapter) == table_.end()) continue;  // adopted or let go meanwhile
        // A named flow the announcements missed is looked up by its name.
        TipprmiOID const oid = key.getOID();
        char const* name = oid.getIdString();
        if (name && std::strncmp(name, "rmi_", 4) != 0) {
            TopFlowClient const fresh(oid);
            bool const back = fresh.isConnected();
            auto it = entryOf(key, Entry::LIVE, adapter);
            if (it == table_.end()) continue;
            if (back && !table_.count(fresh)) {
                reattach(it, fresh);
                continue;
            }
        }
        auto it = entryOf(key, Entry::LIVE, adapter);
        if (it == table_.end()) continue;
        TOP_TRACE("Deleting Flow Adapter");
        closeEntry(it);
    }
}
