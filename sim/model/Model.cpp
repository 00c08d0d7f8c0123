#include "Model.h"

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <thread>

#include "Log.h"

namespace sim {

namespace {

// The flow of `key`, or a log line and null.
Flow* flowOrLog(Model& model, unsigned long key) {
    Flow* f = model.flow(key);
    if (!f) TA_LOG(4, "model: no flow %lu", key);
    return f;
}

// Wall clock now, as operators read times.
void wallClock(unsigned long& sec, unsigned long& ms) {
    auto const now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    sec = static_cast<unsigned long>(now / 1000);
    ms = static_cast<unsigned long>(now % 1000);
}

// Answers held by holdAnswers: operation -> (calls still answered at once, ms). Run permission.
std::map<std::string, std::pair<unsigned long, unsigned long> > gHolds;

}  // namespace

void holdAnswer(char const* operation) {
    auto it = gHolds.find(operation);
    if (it == gHolds.end()) return;
    if (it->second.first > 0) {
        --it->second.first;
        return;
    }
    unsigned long const ms = it->second.second;
    TA_LOG(5, "model: %s answers in %lu ms", operation, ms);
    RunPermissionRelease released;
    std::this_thread::sleep_for(std::chrono::milliseconds(ms));
}

// ---- the objects of one flow ----

// A held answer is computed first: what the caller gets is what was true when it asked.
long AdminStateObject::internalGet() {
    long const v = value;
    holdAnswer("internalGet");
    return v;
}

ResponseInfo<SetClient> AdminStateObject::set(long v) {
    value = v;
    return ResponseInfo<SetClient>(true);
}

TipprmiSequence<AdminStatePolicyClient> AdminStateObject::getPolicies() {
    TipprmiSequence<AdminStatePolicyClient> all;
    for (auto const& p : policies) all.push_back(p);
    return all;
}

void AdminStateObject::removePolicy(AdminStatePolicyClient const& policy) {
    auto it = std::find(policies.begin(), policies.end(), policy);
    if (it != policies.end()) policies.erase(it);
}

ResponseInfo<RunClient> ConditionObject::raise() {
    active = true;
    return ResponseInfo<RunClient>(true);
}

ResponseInfo<RunClient> ConditionObject::cancel() {
    active = false;
    return ResponseInfo<RunClient>(true);
}

std::string UnitIdObject::getText() {
    char text[48];
    std::snprintf(text, sizeof text, "unit %lu, key %lu", unit_, key_);
    return text;
}

bool UnitIdObject::isSameUnit(LocationIdClient const& other) {
    return UnitIdClient(other).getUnitNumber() == unit_;
}

void PerformanceServiceObject::setCurrentData(unsigned long value) {
    record.current = value;
    ++record.answers;
}

void PerformanceServiceObject::setHistoricData(unsigned long elapsed, TipprmiArray<unsigned long, 96> const& history) {
    record.elapsed = elapsed;
    record.history = history;
    ++record.answers;
}

void PerformanceServiceObject::setAdapterData(TipprmiSequence<PerformanceServiceClient::IdentData_t> const& data) {
    record.adapterData = data;
    ++record.answers;
}

void PerformanceServiceObject::setExistMonitoring(unsigned long exists) {
    record.existMonitoring = exists;
    ++record.answers;
}

void PerformanceServiceObject::registerObserver(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                                                TreflectObserverClient const& client) {
    if (kind == 0 && cc == PerformanceServiceClient::kClassCode && mc == 8) {
        triggerObservers_.push_back(client);
        record.triggerObservers = triggerObservers_.size();
    }
    PerformanceServiceServerBase::registerObserver(kind, cc, mc, client);
}

void PerformanceServiceObject::unRegisterObserver(TreflectObserverClient const& client) {
    triggerObservers_.erase(std::remove(triggerObservers_.begin(), triggerObservers_.end(), client),
                            triggerObservers_.end());
    record.triggerObservers = triggerObservers_.size();
    PerformanceServiceServerBase::unRegisterObserver(client);
}

TopFlowObject::TopFlowObject(Flow& flow, TreflectObject const* parent)
    : TopFlowServerBase(TipprmiOID("TopFlow-" + std::to_string(flow.state.key)), parent,
                        "flow" + std::to_string(flow.state.key)),
      flow_(flow) {}

LocationIdClient TopFlowObject::getLocationId() {
    LocationIdClient const location(*flow_.unitId->getClient());
    holdAnswer("getLocationId");
    return location;
}
FaultServiceClient TopFlowObject::getFaultSvc() { return FaultServiceClient(*flow_.fault->getClient()); }
PerformanceServiceClient TopFlowObject::getPerformanceSvc() {
    return PerformanceServiceClient(*flow_.performance->getClient());
}
short TopFlowObject::getLogMeanSyncValue() {
    short const v = flow_.state.logMeanSyncValue;
    holdAnswer("getLogMeanSyncValue");
    return v;
}
TipprmiArray<short, 4> TopFlowObject::getMasterIp4Addr() {
    TipprmiArray<short, 4> const v = flow_.state.masterIp;
    holdAnswer("getMasterIp4Addr");
    return v;
}
void TopFlowObject::unRegisterObserver(TreflectObserverClient const& client) {
    TreflectObservable::Life const life = this->life();
    holdAnswer("removeObserver");
    if (!life.gone()) TopFlowServerBase::unRegisterObserver(client);
}
ConditionClient TopFlowObject::getSyncSourceLost() { return ConditionClient(*flow_.syncSourceLost->getClient()); }
ConditionClient TopFlowObject::getMasterServiceUnavailable() {
    return ConditionClient(*flow_.masterServiceUnavailable->getClient());
}
TopFlowClient::DriverInfo TopFlowObject::getDriverInfo() { return flow_.state.driverInfo; }
void TopFlowObject::setLogMeanSyncValue(short value) { flow_.state.logMeanSyncValue = value; }
void TopFlowObject::setMasterIp4Addr(TipprmiArray<short, 4> const& address) { flow_.state.masterIp = address; }
void TopFlowObject::setDriverInfo(TopFlowClient::DriverInfo const& info) { flow_.state.driverInfo = info; }
void TopFlowObject::setTopEnable(bool enable) { flow_.state.topEnable = enable; }
void TopFlowObject::setTopDrvInitStatus(bool initialised) { flow_.state.drvInitStatus = initialised; }

ResponseInfo<GetClient> TopFlowObject::getTopSrcIpAddress(TipprmiArray<short, 4>& address) {
    address = srcIp_;
    return ResponseInfo<GetClient>(true);
}

ResponseInfo<SetClient> TopFlowObject::setTopSrcIpAddress(TipprmiArray<short, 4> const& address) {
    srcIp_ = address;
    return ResponseInfo<SetClient>(true);
}

Flow::Flow(unsigned long key, unsigned long unit, TreflectObject const* services) {
    state.key = key;
    state.unit = unit;
    object = std::make_unique<TopFlowObject>(*this, services);
    TreflectObject const* me = object->getClient();
    admin = std::make_unique<AdminStateObject>(me);
    fault = std::make_unique<FaultServiceObject>(me, *admin);
    syncSourceLost = std::make_unique<ConditionObject>(me, "syncSourceLost");
    masterServiceUnavailable = std::make_unique<ConditionObject>(me, "masterServiceUnavailable");
    unitId = std::make_unique<UnitIdObject>(me, unit, key);
    performance = std::make_unique<PerformanceServiceObject>(me, key);
}

// The flow's objects go before it, leaving its children.
Flow::~Flow() {
    performance.reset();
    unitId.reset();
    masterServiceUnavailable.reset();
    syncSourceLost.reset();
    fault.reset();
    admin.reset();
}

// ---- well-known objects ----

TopServicesObject::TopServicesObject(Model& model)
    : TopServicesServerBase(TipprmiOID(TopServicesClient::NAME), nullptr, TopServicesClient::NAME), model_(model) {}

TopFlowClient TopServicesObject::getFlow(PhysicalServicesClient::Key const& key) {
    Flow* f = model_.flow(static_cast<unsigned long>(key.a));
    return f ? TopFlowClient(*f->object->getClient()) : TopFlowClient();
}

TipprmiSequence<TopFlowClient> TopServicesObject::getFlows(PhysicalServicesClient::Key const& from,
                                                           PhysicalServicesClient::Key const& to) {
    TipprmiSequence<TopFlowClient> flows;
    for (auto const& entry : model_.flows())
        if (long(entry.first) >= from.a && long(entry.first) <= to.a)
            flows.push_back(TopFlowClient(*entry.second->object->getClient()));
    return flows;
}

PhysicalServicesObject::PhysicalServicesObject(Model& model)
    : PhysicalServicesServerBase(TipprmiOID(PhysicalServicesClient::NAME), nullptr, PhysicalServicesClient::NAME),
      model_(model) {}

void PhysicalServicesObject::dispatchAlarms(TipprmiSequence<PhysicalServicesClient::Alarm> const& alarms) {
    for (unsigned long i = 0; i < alarms.getLength(); ++i) {
        TipprmiObjectSkeleton const* condition = alarms[i].condition.getServer();
        bool found = false;
        for (auto const& entry : model_.flows()) {
            Flow const& f = *entry.second;
            long const which = condition == f.syncSourceLost.get() ? 1 : condition == f.masterServiceUnavailable.get() ? 2 : 0;
            if (!which) continue;
            model_.recordAlarm(f.state.key, which, alarms[i].raise);
            found = true;
        }
        if (!found) TA_LOG(4, "model: an alarm for a condition that is no flow's");
    }
    model_.endAlarmBatch();
}

PsIntervalTimerObject::PsIntervalTimerObject(long seconds)
    : PsIntervalTimerServerBase(TipprmiOID(PsIntervalTimerClient::PS_INTERVALTIMER_NAME), nullptr,
                                PsIntervalTimerClient::PS_INTERVALTIMER_NAME),
      intervalStart_(OSWrap::Clock::getTime()),
      timer_(this, &PsIntervalTimerObject::expired, "PsIntervalTimer") {
    if (seconds > 0) timer_.start(OSWrap::TimeSpec(seconds, 0), true, true);
}

PsIntervalTimerObject::~PsIntervalTimerObject() { timer_.stop(); }

unsigned long PsIntervalTimerObject::getElapsedTime() {
    return static_cast<unsigned long>((OSWrap::Clock::getTime() - intervalStart_).seconds());
}

void PsIntervalTimerObject::changeOfInterval() {
    intervalStart_ = OSWrap::Clock::getTime();
    ModelControlClient::IntervalEnd end;
    wallClock(end.sec, end.ms);
    ends.push_front(end);
    if (ends.size() > 96) ends.pop_back();
}

void PsIntervalTimerObject::tick() { PsIntervalTimerClient(*getClient()).changeOfInterval(); }

int PsIntervalTimerObject::expired() {
    RunPermissionGuard g;
    tick();
    return 0;
}

// ---- control ----

ModelControlObject::ModelControlObject(Model& model)
    : ModelControlServerBase(TipprmiOID(ModelControlClient::NAME), nullptr, ModelControlClient::NAME),
      model_(model) {}

TopFlowClient ModelControlObject::createFlow(unsigned long key, unsigned long unit, long adminState,
                                             TipprmiArray<short, 4> const& masterIp) {
    Flow* f = model_.createFlow(key, unit, adminState, masterIp);
    return f ? TopFlowClient(*f->object->getClient()) : TopFlowClient();
}

bool ModelControlObject::deleteFlow(unsigned long key) { return model_.deleteFlow(key); }

TipprmiSequence<ModelControlClient::FlowState> ModelControlObject::getFlows() {
    TipprmiSequence<ModelControlClient::FlowState> all;
    for (auto const& entry : model_.flows()) {
        ModelControlClient::FlowState s = entry.second->state;
        s.adminState = entry.second->admin->value;
        all.push_back(s);
    }
    return all;
}

// An operator's change goes through the object's own operation, so that its
// observers hear of it as they would from any other caller.
bool ModelControlObject::setAdminState(unsigned long key, long state) {
    Flow* f = flowOrLog(model_, key);
    if (!f) return false;
    // Its observers are told without the run permission: the flow may go meanwhile.
    TreflectObservable::Life const life = f->admin->life();
    AdminStateClient admin(*f->admin->getClient());
    admin.set(state);
    if (!life.gone()) admin.notifyPermissionStateChange();
    return !life.gone();
}

bool ModelControlObject::setMasterIp(unsigned long key, TipprmiArray<short, 4> const& address) {
    Flow* f = flowOrLog(model_, key);
    if (f) TopFlowClient(*f->object->getClient()).setMasterIp4Addr(address);
    return f != nullptr;
}

bool ModelControlObject::setLogMeanSyncValue(unsigned long key, short value) {
    Flow* f = flowOrLog(model_, key);
    if (f) TopFlowClient(*f->object->getClient()).setLogMeanSyncValue(value);
    return f != nullptr;
}

TopFlowClient::DriverInfo ModelControlObject::requestDriverInfo(unsigned long key) {
    Flow* f = flowOrLog(model_, key);
    return f ? TopFlowClient(*f->object->getClient()).getDriverInfo() : TopFlowClient::DriverInfo();
}

TipprmiSequence<ModelControlClient::AlarmRecord> ModelControlObject::getAlarms() {
    return model_.alarms();
}

void ModelControlObject::clearAlarms() { model_.clearAlarms(); }

void ModelControlObject::triggerPerformance(unsigned long key, TipprmiSequence<unsigned long> const& idents,
                                            unsigned long command) {
    Flow* f = flowOrLog(model_, key);
    if (f) PerformanceServiceClient(*f->performance->getClient()).trigger(f->object->getAbsName(), idents, command);
}

ModelControlClient::PerformanceRecord ModelControlObject::getPerformance(unsigned long key) {
    Flow* f = flowOrLog(model_, key);
    return f ? f->performance->record : ModelControlClient::PerformanceRecord();
}

void ModelControlObject::changeOfInterval() { model_.intervalTimer().tick(); }

void ModelControlObject::holdAnswers(std::string const& operation, unsigned long skip, unsigned long ms) {
    if (ms == 0)
        gHolds.erase(operation);
    else
        gHolds[operation] = std::make_pair(skip, ms);
}

TipprmiSequence<ModelControlClient::IntervalEnd> ModelControlObject::getIntervalEnds() {
    TipprmiSequence<ModelControlClient::IntervalEnd> all;
    for (auto const& e : model_.intervalTimer().ends) all.push_back(e);
    return all;
}

// ---- the model ----

Model::Model(long intervalSeconds)
    : topServices_(std::make_unique<TopServicesObject>(*this)),
      physicalServices_(std::make_unique<PhysicalServicesObject>(*this)),
      intervalTimer_(std::make_unique<PsIntervalTimerObject>(intervalSeconds)),
      control_(std::make_unique<ModelControlObject>(*this)) {
    // Class-wide observers (the task's performance adapters) find it as an instance.
    intervalTimer_->sendCreationEvent(PsIntervalTimerClient::staticMeta());
}

Model::~Model() {
    flows_.clear();
    intervalTimer_.reset();
}

Flow* Model::flow(unsigned long key) {
    auto it = flows_.find(key);
    return it == flows_.end() ? nullptr : it->second.get();
}

Flow* Model::createFlow(unsigned long key, unsigned long unit, long admin, TipprmiArray<short, 4> const& master,
                        short logMeanSyncValue) {
    if (flows_.count(key)) {
        TA_LOG(4, "model: flow %lu exists already", key);
        return nullptr;
    }
    Flow* f = (flows_[key] = std::make_unique<Flow>(key, unit, topServices_->getClient())).get();
    f->admin->value = admin;
    f->state.masterIp = master;
    f->state.logMeanSyncValue = logMeanSyncValue;
    f->object->sendCreationEvent(nullptr);
    // Its performance service after it, as its owner makes it.
    f->performance->sendCreationEvent(PerformanceServiceClient::staticMeta());
    TA_LOG(5, "model: flow %lu on unit %lu created", key, unit);
    return f;
}

bool Model::deleteFlow(unsigned long key) {
    auto it = flows_.find(key);
    if (it == flows_.end()) return false;
    // Out of the table before its observers hear of it, without the run
    // permission: nobody else finds it, or deletes it, meanwhile.
    std::unique_ptr<Flow> const gone = std::move(it->second);
    flows_.erase(it);
    for (long condition : {1L, 2L}) lastAlarm_.erase(std::make_pair(key, condition));
    // The child's deletion first; both still serve while their observers hear of it.
    gone->performance->sendDeletionEvent(PerformanceServiceClient::staticMeta());
    gone->object->sendDeletionEvent(nullptr);
    TA_LOG(5, "model: flow %lu deleted", key);
    return true;
}

std::string Model::summary() {
    std::string line;
    char part[160];
    for (auto const& entry : flows_) {
        ModelControlClient::FlowState const& s = entry.second->state;
        TopFlowClient::DriverInfo const& d = s.driverInfo;
        std::snprintf(part, sizeof part, "flow %lu (unit %lu) admin %ld master %d.%d.%d.%d driver %s lock %s | ",
                      s.key, s.unit, entry.second->admin->value, s.masterIp[0], s.masterIp[1], s.masterIp[2],
                      s.masterIp[3], s.drvInitStatus ? "up" : "-", d.masterLockState == 0 && s.drvInitStatus ? "yes" : "-");
        line += part;
    }
    unsigned raised = 0;
    std::map<std::pair<unsigned long, long>, bool> last;
    for (auto const& l : lastAlarm_) raised += l.second.raise ? 1 : 0;
    std::snprintf(part, sizeof part, "alarms: %lu received in %lu batches, %u raised", received_, batch_ - 1, raised);
    return line + part;
}

void Model::recordAlarm(unsigned long key, long condition, bool raise) {
    ModelControlClient::AlarmRecord a;
    a.key = key;
    a.condition = condition;
    a.raise = raise;
    a.batch = batch_;
    a.seq = ++received_;
    wallClock(a.sec, a.ms);
    alarmLog_.push_back(a);
    if (alarmLog_.size() > kAlarmLog) alarmLog_.pop_front();
    lastAlarm_[std::make_pair(key, condition)] = a;
}

TipprmiSequence<ModelControlClient::AlarmRecord> Model::alarms() const {
    std::vector<ModelControlClient::AlarmRecord> older;
    unsigned long const first = alarmLog_.empty() ? received_ + 1 : alarmLog_.front().seq;
    for (auto const& l : lastAlarm_)
        if (l.second.seq < first) older.push_back(l.second);
    std::sort(older.begin(), older.end(),
              [](ModelControlClient::AlarmRecord const& a, ModelControlClient::AlarmRecord const& b) { return a.seq < b.seq; });
    TipprmiSequence<ModelControlClient::AlarmRecord> all;
    for (auto const& a : older) all.push_back(a);
    for (auto const& a : alarmLog_) all.push_back(a);
    return all;
}

void Model::clearAlarms() {
    alarmLog_.clear();
    lastAlarm_.clear();
    received_ = 0;
}

}  // namespace sim
