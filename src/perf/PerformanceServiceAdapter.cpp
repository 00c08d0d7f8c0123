#include "PerformanceServiceAdapter.h"

#include "Log.h"
#include "PerfSvcAdpLink.h"
#include "PerfTableLock.h"
#include "REFLECT_memberFactory.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_metaObject.h"

namespace Performance {

PerformanceServiceAdapter::PsTimerObserver::PsTimerObserver(PerformanceServiceAdapter* adapter, unsigned long kind)
    : TreflectObserver(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT), nullptr, std::string()),
      adapter_(adapter),
      kind_(kind) {}

bool PerformanceServiceAdapter::PsTimerObserver::handleNotification() {
    TreflectCallGate::Pass pass(adapter_->gate_);
    if (!pass) return true;
    switch (kind_) {
    case CREATED:
        if (getSource()) adapter_->timerCreated(*getSource());
        break;
    case DELETED:
        if (getSource()) adapter_->timerDeleted(*getSource());
        break;
    case INTERVAL:
        adapter_->intervalChanged();
        break;
    }
    return true;
}

PerformanceServiceAdapter::PerformanceServiceAdapter(PerformanceServiceUserIf* user, TreflectObject const& monitored,
                                                     bool const& followTimer, bool const& autoCreate)
    : PerformanceServiceAdapter(user, monitored.getAbsName(), followTimer, autoCreate) {}

PerformanceServiceAdapter::PerformanceServiceAdapter(PerformanceServiceUserIf* user, std::string const& name,
                                                     bool const& followTimer, bool const& autoCreate)
    : user_(nullptr),
      name_(name),
      autoCreate_(autoCreate),
      followTimer_(followTimer),
      timer_(nullptr),
      creationObserver_(nullptr),
      deletionObserver_(nullptr),
      changeObserver_(nullptr),
      closed_(false) {
    registration();
    user_ = user;
}

// The registrations give the run permission up while they wait for their
// answers, and notifications may come meanwhile: the user, whose own parts
// are made after this adapter, is asked nothing until they are done. What is
// left of its construction keeps the run permission throughout.
void PerformanceServiceAdapter::registration() {
    PerfSvcAdpLink::instance()->registerAdapter(name_, this);
    if (!followTimer_) return;
    creationObserver_ = new PsTimerObserver(this, PsTimerObserver::CREATED);
    PsIntervalTimerClient::staticMeta()->observeCreations(creationObserver_, true);
}

PerformanceServiceAdapter::~PerformanceServiceAdapter() {
    close();
    delete timer_;
    delete creationObserver_;
    delete deletionObserver_;
    delete changeObserver_;
}

void PerformanceServiceAdapter::close() {
    if (closed_) return;
    closed_ = true;
    // The user is going: notifications that still arrive while the
    // registrations below are taken back reach nobody.
    user_ = nullptr;
    gate_.close();
    PerfSvcAdpLink::instance()->unregisterAdapter(name_, this);
    if (followTimer_) {
        PsIntervalTimerClient::ClientSpecificMetaObject* meta = PsIntervalTimerClient::staticMeta();
        meta->removeObserver(creationObserver_);
        if (deletionObserver_) meta->removeObserver(deletionObserver_);
        // A timer whose actor went away holds no registration to take back.
        if (timer_ && timer_->getStub_()->isValid()) timer_->operation("changeOfInterval")->removeObserver(changeObserver_);
    }
}

// ---- the interval timer object ----

void PerformanceServiceAdapter::timerCreated(TreflectObject const& source) {
    timerLock_.lock();
    if (PsIntervalTimerClient* old = timer_) {
        timer_ = nullptr;
        if (old->getStub_()->isValid()) old->operation("changeOfInterval")->removeObserver(changeObserver_);
        delete old;
    }
    PsIntervalTimerClient* timer = timer_ = new PsIntervalTimerClient(source);
    if (!changeObserver_) changeObserver_ = new PsTimerObserver(this, PsTimerObserver::INTERVAL);
    timer->operation("changeOfInterval")->postObserve(changeObserver_);
    if (!deletionObserver_) {
        deletionObserver_ = new PsTimerObserver(this, PsTimerObserver::DELETED);
        PsIntervalTimerClient::staticMeta()->observeDeletions(deletionObserver_);
    }
    timerLock_.unlock();
}

void PerformanceServiceAdapter::timerDeleted(TreflectObject const& source) {
    timerLock_.lock();
    PsIntervalTimerClient* timer = timer_;
    if (timer && *timer == source) {
        timer_ = nullptr;
        timer->operation("changeOfInterval")->removeObserver(changeObserver_);
        delete timer;
    }
    timerLock_.unlock();
}

void PerformanceServiceAdapter::intervalChanged() {
    if (user_) user_->changeOfInterval();
}

// ---- the history table ----

bool PerformanceServiceAdapter::exists(unsigned long ident) const {
    return ident == 0 ? !table_.empty() : table_.count(ident) != 0;
}

void PerformanceServiceAdapter::addHistoricData(unsigned long const& ident, unsigned long const& value) {
    {
        TableLock lock(lock_);
        auto it = table_.find(ident);
        if (it != table_.end()) {
            CounterHistory& c = it->second;
            for (unsigned long i = kHistoryLength - 1; i > 0; --i) c.history[i] = c.history[i - 1];
            c.history[0] = value;
            if (c.count < kHistoryLength) ++c.count;
            return;
        }
        if (autoCreate_) {
            auto ins = table_.insert(std::make_pair(ident, CounterHistory()));
            if (ins.second) {
                ins.first->second.count = 1;
                ins.first->second.history[0] = value;
                return;
            }
        }
    }
    TA_LOG(3, "PerformanceServiceAdapter::addHistoricData(%d) failed", static_cast<int>(ident));
}

bool PerformanceServiceAdapter::removeCounter(unsigned long const& ident) {
    TableLock lock(lock_);
    return table_.erase(ident) != 0;
}

bool PerformanceServiceAdapter::setLatestHistoricData(unsigned long const& ident, unsigned long const& value) {
    TableLock lock(lock_);
    auto it = table_.find(ident);
    if (it == table_.end()) return false;
    it->second.history[0] = value;
    return true;
}

bool PerformanceServiceAdapter::getHistoricData(unsigned long const& ident, unsigned short& count, History& history) {
    TableLock lock(lock_);
    auto it = table_.find(ident);
    if (it == table_.end()) return false;
    count = it->second.count;
    history = it->second.history;
    return true;
}

// ---- trigger handlers: the answer is the last thing each does ----

void PerformanceServiceAdapter::getCurrentData(PerformanceServiceClient const& ps, unsigned long const& ident) {
    unsigned long value = 0;
    if (user_ && user_->getCurrentData(ident, value)) ps.setCurrentData(value);
}

void PerformanceServiceAdapter::getHistoricData(PerformanceServiceClient const& ps, unsigned long const& ident) {
    unsigned short count = 0;
    History history;
    if (getHistoricData(ident, count, history)) ps.setHistoricData(count, history);
}

void PerformanceServiceAdapter::existMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident) {
    bool e;
    {
        TableLock lock(lock_);
        e = exists(ident);
    }
    ps.setExistMonitoring(e ? 1 : 0);
}

void PerformanceServiceAdapter::startMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident) {
    bool e = false;
    if (autoCreate_) {
        TableLock lock(lock_);
        e = exists(ident);
    } else if (user_ && user_->startMonitoring(ident)) {
        TableLock lock(lock_);
        e = exists(ident) || table_.insert(std::make_pair(ident, CounterHistory())).second;
    }
    ps.setExistMonitoring(e ? 1 : 0);
}

void PerformanceServiceAdapter::stopMonitoring(PerformanceServiceClient const& ps, unsigned long const& ident) {
    bool e;
    if (autoCreate_) {
        TableLock lock(lock_);
        e = !table_.empty();
    } else {
        {
            TableLock lock(lock_);
            table_.erase(ident);
            e = !table_.empty();
        }
        if (user_) user_->stopMonitoring(ident);
    }
    ps.setExistMonitoring(e ? 1 : 0);
}

void PerformanceServiceAdapter::resetMonitoring(PerformanceServiceClient const& ps) {
    bool e;
    {
        TableLock lock(lock_);
        for (auto& entry : table_) entry.second = CounterHistory();
        e = !table_.empty();
    }
    ps.setExistMonitoring(e ? 1 : 0);
}

void PerformanceServiceAdapter::getAdapterData(PerformanceServiceClient const& ps,
                                               TipprmiSequence<unsigned long> const& idents) {
    TipprmiSequence<PerformanceServiceClient::IdentData_t> data;
    for (unsigned long i = 0; i < idents.getLength(); ++i) {
        PerformanceServiceClient::IdentData_t d;
        d.ident = idents[i];
        // The user is asked outside the table lock: it may wait for its own.
        d.valid = user_ && user_->getCurrentData(d.ident, d.current);
        if (!d.valid) d.current = 0;
        unsigned short count = 0;
        bool const known = getHistoricData(d.ident, count, d.history);
        d.elapsed = count;
        if (known || d.valid) data.push_back(d);
    }
    if (data.getLength() > 0) ps.setAdapterData(data);
}

}  // namespace Performance
