#include "PerfSvcAdpLink.h"

#include <pthread.h>
#include <stdint.h>

#include <memory>

#include "AfwSingleton.h"
#include "HandlerThreadPolicies.h"
#include "Log.h"
#include "PerfTableLock.h"
#include "PerformanceServiceAdapter.h"
#include "REFLECT_memberFactory.h"
#include "REFLECT_objectStub.h"

namespace Performance {

namespace {

pthread_mutex_t gInstanceMutex = PTHREAD_MUTEX_INITIALIZER;

unsigned hexOf(void const* p) { return static_cast<unsigned>(reinterpret_cast<uintptr_t>(p)); }

}  // namespace

PerfSvcAdpLink* PerfSvcAdpLink::instance_ = nullptr;

PerfSvcAdpLink::PerfSvcObserver::PerfSvcObserver(PerfSvcAdpLink* link, unsigned long kind)
    : TreflectObserver(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT), nullptr, std::string()),
      link_(link),
      kind_(kind) {}

bool PerfSvcAdpLink::PerfSvcObserver::handleNotification() {
    switch (kind_) {
    case CREATION:
        if (getSource()) link_->psCreated(*getSource());
        break;
    case DELETION:
        if (getSource()) link_->psDeleted(*getSource());
        break;
    case TRIGGER:
        link_->trigger(currentArguments());
        break;
    }
    return true;
}

PerfSvcAdpLink* PerfSvcAdpLink::instance() {
    return Afw::createOnce(instance_, gInstanceMutex, [] { return new PerfSvcAdpLink; });
}

PerfSvcAdpLink::PerfSvcAdpLink()
    : creationObserver_(this, PerfSvcObserver::CREATION),
      deletionObserver_(this, PerfSvcObserver::DELETION),
      triggerObserver_(this, PerfSvcObserver::TRIGGER) {
    RunPermissionGuard permission;
    PerformanceServiceClient::ClientSpecificMetaObject* meta = PerformanceServiceClient::staticMeta();
    meta->observeCreations(&creationObserver_, true);
    meta->observeDeletions(&deletionObserver_);
}

std::string PerfSvcAdpLink::keyOf(TreflectObject const& ps) { return ps.getParent().getAbsName(); }

void PerfSvcAdpLink::observe(PerformanceServiceClient const& ps) {
    ps.operation("trigger")->preObserve(&triggerObserver_);
}

// A handle whose actor went away holds no registration to take back.
void PerfSvcAdpLink::unobserve(PerformanceServiceClient const& ps) {
    if (ps.getStub_()->isValid()) ps.operation("trigger")->removeObserver(&triggerObserver_);
}

bool PerfSvcAdpLink::lookup(std::string const& name, Link& out) {
    TableLock lock(lock_);
    auto it = XReferences_.find(name);
    out = it == XReferences_.end() ? Link() : it->second;
    return out.complete();
}

std::vector<std::string> PerfSvcAdpLink::names() {
    TableLock lock(lock_);
    std::vector<std::string> keys;
    keys.reserve(XReferences_.size());
    for (auto const& record : XReferences_) keys.push_back(record.first);
    return keys;
}

bool PerfSvcAdpLink::registerAdapter(std::string const& name, PerformanceServiceAdapter* adp) {
    // Handles of our own, copied under the lock: the record's may be replaced
    // or deleted while a registration waits for its answer.
    std::unique_ptr<PerformanceServiceClient> toObserve;
    {
        TableLock lock(lock_);
        auto it = XReferences_.find(name);
        if (it != XReferences_.end()) {
            it->second.adp = adp;
            if (it->second.complete() && !it->second.observing) {
                it->second.observing = true;
                toObserve.reset(new PerformanceServiceClient(*it->second.ps));
            }
        } else {
            Link link;
            link.adp = adp;
            if (!XReferences_.insert(std::make_pair(name, link)).second) {
                TA_LOG(3, "PerfSvcAdpLink(0x%08x) insert link to XReferences by Adp failed", hexOf(this));
                return false;
            }
        }
    }
    if (toObserve) observe(*toObserve);
    return true;
}

bool PerfSvcAdpLink::unregisterAdapter(std::string const& name, PerformanceServiceAdapter* adp) {
    std::unique_ptr<PerformanceServiceClient> toRelease;
    {
        TableLock lock(lock_);
        auto it = XReferences_.find(name);
        if (it == XReferences_.end()) {
            TA_LOG(3, "PerfSvcAdpLink(0x%08x) unreg Adp for unknown %s", hexOf(this), name.c_str());
            return false;
        }
        if (it->second.adp != adp) {
            TA_LOG(3, "PerfSvcAdpLink(0x%08x) unreg unknown Adp for %s", hexOf(this), name.c_str());
            return false;
        }
        it->second.adp = nullptr;
        if (it->second.observing) toRelease.reset(new PerformanceServiceClient(*it->second.ps));
        it->second.observing = false;
        // A handle whose actor went away is of no use to anybody.
        if (it->second.ps && !it->second.ps->getStub_()->isValid()) {
            delete it->second.ps;
            it->second.ps = nullptr;
        }
        if (!it->second.ps) XReferences_.erase(it);
    }
    // A live handle stays in the table: only its observation ends.
    if (toRelease) unobserve(*toRelease);
    return true;
}

void PerfSvcAdpLink::psCreated(TreflectObject const& source) {
    PerformanceServiceClient* ps = new PerformanceServiceClient(source);
    std::string const key = keyOf(*ps);
    PerformanceServiceClient* old = nullptr;
    std::unique_ptr<PerformanceServiceClient> toObserve;
    bool restarted = false;
    {
        TableLock lock(lock_);
        auto it = XReferences_.find(key);
        if (it != XReferences_.end()) {
            Link& link = it->second;
            if (link.ps) {
                restarted = !link.ps->getStub_()->isValid();
                if (link.observing)
                    old = link.ps;
                else
                    delete link.ps;
            }
            link.ps = ps;
            link.observing = link.complete();
            if (link.observing) toObserve.reset(new PerformanceServiceClient(*ps));
        } else {
            Link link;
            link.ps = ps;
            if (!XReferences_.insert(std::make_pair(key, link)).second) {
                TA_LOG(3, "PerfSvcAdpLink(0x%08x) insert link to XReferences by PS failed", hexOf(this));
                delete ps;
                return;
            }
        }
    }
    if (old) {
        unobserve(*old);
        delete old;
    }
    if (toObserve) observe(*toObserve);
    // The model came back: what it did not announce again is gone.
    if (restarted) dropLostServices();
}

void PerfSvcAdpLink::dropLostServices() {
    TableLock lock(lock_);
    for (auto it = XReferences_.begin(); it != XReferences_.end();) {
        Link& link = it->second;
        if (link.ps && !link.ps->getStub_()->isValid() && !link.observing) {
            delete link.ps;
            link.ps = nullptr;
        }
        if (!link.ps && !link.adp)
            it = XReferences_.erase(it);
        else
            ++it;
    }
}

void PerfSvcAdpLink::psDeleted(TreflectObject const& source) {
    PerformanceServiceClient* gone = new PerformanceServiceClient(source);
    std::string const key = keyOf(*gone);
    {
        TableLock lock(lock_);
        auto it = XReferences_.find(key);
        if (it == XReferences_.end()) {
            TA_LOG(4, "PerfSvcAdpLink(0x%08x) missed creation of PS %s", hexOf(this), key.c_str());
            delete gone;
            return;
        }
        Link& link = it->second;
        if (link.ps && *link.ps == *gone) {
            // The temporary handle stays only to end the observation below.
            if (!link.observing) {
                delete gone;
                gone = nullptr;
            }
            delete link.ps;
            link.ps = nullptr;
            link.observing = false;
            if (!link.adp) XReferences_.erase(it);
        } else {
            delete gone;
            return;
        }
    }
    if (gone) {
        unobserve(*gone);
        delete gone;
    }
}

void PerfSvcAdpLink::trigger(TipprmiSequence<TipprmiAny> const* args) {
    std::string name;
    TipprmiSequence<unsigned long> idents;
    unsigned long command = 0;
    if (!args || !observedArgument(*args, 1, name) || !observedArgument(*args, 2, idents) ||
        !observedArgument(*args, 3, command)) return;
    if (command < 1 || command > 8) return;
    PerformanceServiceAdapter* adp = nullptr;
    std::unique_ptr<PerformanceServiceClient const> handle;
    {
        // A handle of our own, copied under the lock: the record's may be
        // replaced or deleted while the answer waits.
        TableLock lock(lock_);
        auto it = XReferences_.find(name);
        if (it == XReferences_.end() || !it->second.complete() || !it->second.adp->enterHandler()) return;
        adp = it->second.adp;
        handle.reset(new PerformanceServiceClient(*it->second.ps));
    }
    struct Leave {
        PerformanceServiceAdapter* adp;
        ~Leave() { adp->leaveHandler(); }
    } const leave{adp};
    PerformanceServiceClient const& ps = *handle;
    unsigned long const n = idents.getLength();
    switch (command) {
    case 1:
        if (n == 1) adp->getCurrentData(ps, idents[0]);
        break;
    case 2:
        if (n == 1) adp->getHistoricData(ps, idents[0]);
        break;
    case 4:
        if (n == 1) adp->existMonitoring(ps, idents[0]);
        break;
    case 5:
        if (n == 1) adp->startMonitoring(ps, idents[0]);
        break;
    case 6:
        if (n == 1) adp->stopMonitoring(ps, idents[0]);
        break;
    case 7:
        adp->resetMonitoring(ps);
        break;
    case 8:
        if (n >= 1) adp->getAdapterData(ps, idents);
        break;
    default:  // 3: not handled by this task
        break;
    }
}

}  // namespace Performance
