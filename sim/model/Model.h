// The management model of a simulated card: the objects the task reaches
// (TopServices, PhysicalServices, PsIntervalTimer, and per flow a TopFlow with
// its fault service, administrative state, two conditions, unit identifier
// and performance service), served on the model actor's ORB, and the
// ModelControl object through which operators and tests script it and read
// back what it received.
//
// Every object is used under the run permission: worker threads serve the
// calls, and the interval timer takes the permission for its calls.
#pragma once

#include <deque>
#include <map>
#include <memory>
#include <string>
#include <vector>

#include "AdminStatePolicyServer.h"
#include "AdminStateServer.h"
#include "ConditionServer.h"
#include "FaultServiceServer.h"
#include "ModelControlServer.h"
#include "OSWrap.h"
#include "PerformanceServiceServer.h"
#include "PhysicalServicesServer.h"
#include "PsIntervalTimerServer.h"
#include "TopFlowServer.h"
#include "TopServicesServer.h"
#include "UnitIdServer.h"

namespace sim {

class Model;
struct Flow;

// Holds the answer of `operation` as holdAnswers asked (a worker thread
// with the run permission held; gives it up while it waits).
void holdAnswer(char const* operation);

class AdminStateObject : public AdminStateServerBase {
public:
    explicit AdminStateObject(TreflectObject const* parent) : AdminStateServerBase(TipprmiOID(), parent, "admin") {}
    long get() override { return value; }
    long internalGet() override;
    ResponseInfo<SetClient> set(long v) override;
    void internalSet(long v) override { value = v; }
    bool isInitialised() override { return true; }
    TipprmiSequence<AdminStatePolicyClient> getPolicies() override;
    bool getPermissionState() override { return value == 1; }
    void insertPolicy(AdminStatePolicyClient const& policy) override { policies.push_back(policy); }
    void removePolicy(AdminStatePolicyClient const& policy) override;
    void notifyPermissionStateChange() override {}

    long value = 0;
    std::vector<AdminStatePolicyClient> policies;
};

class FaultServiceObject : public FaultServiceServerBase {
public:
    FaultServiceObject(TreflectObject const* parent, AdminStateObject const& admin)
        : FaultServiceServerBase(TipprmiOID(), parent, "fault"), admin_(admin) {}
    AdminStateClient getAdminState() override { return AdminStateClient(*admin_.getClient()); }
    long getOperState() override { return admin_.value == 1 ? 1 : 0; }
    bool getWorkingState() override { return true; }

private:
    AdminStateObject const& admin_;
};

class ConditionObject : public ConditionServerBase {
public:
    ConditionObject(TreflectObject const* parent, char const* name) : ConditionServerBase(TipprmiOID(), parent, name) {}
    bool isActive() override { return active; }
    ResponseInfo<RunClient> raise() override;
    ResponseInfo<RunClient> cancel() override;
    bool active = false;
};

class UnitIdObject : public UnitIdServerBase {
public:
    UnitIdObject(TreflectObject const* parent, unsigned long unit, unsigned long key)
        : UnitIdServerBase(TipprmiOID(), parent, "unitId"), unit_(unit), key_(key) {}
    std::string getKind() override { return "unit"; }
    std::string getText() override;
    bool isKind(unsigned long kind) override { return kind == static_cast<unsigned long>(UnitIdClient::LID_UNIT_ID); }
    bool isEqual(LocationIdClient const& other) override { return other.getServer() == this; }
    unsigned long getUnitNumber() override { return unit_; }
    unsigned long getIdentifier() override { return key_; }
    bool isSameUnit(LocationIdClient const& other) override;

private:
    unsigned long unit_, key_;
};

// Computes nothing: a trigger's pre-observers (the task that owns the
// counters) answer through the set operations before the trigger completes.
class PerformanceServiceObject : public PerformanceServiceServerBase {
public:
    explicit PerformanceServiceObject(TreflectObject const* parent, unsigned long key)
        : PerformanceServiceServerBase(TipprmiOID("PerformanceService-" + std::to_string(key)), parent, "performance") {
        record.key = key;
    }
    void trigger(std::string const&, TipprmiSequence<unsigned long> const&, unsigned long) override {}
    void setCurrentData(unsigned long value) override;
    void setHistoricData(unsigned long elapsed, TipprmiArray<unsigned long, 96> const& history) override;
    void setAdapterData(TipprmiSequence<PerformanceServiceClient::IdentData_t> const& data) override;
    void setExistMonitoring(unsigned long exists) override;
    // Counted into the record: the pre-observers of trigger.
    void registerObserver(unsigned long kind, unsigned long const& cc, unsigned long const& mc,
                          TreflectObserverClient const& client) override;
    void unRegisterObserver(TreflectObserverClient const& client) override;

    ModelControlClient::PerformanceRecord record;

private:
    std::vector<TreflectObserverClient> triggerObservers_;
};

class TopFlowObject : public TopFlowServerBase {
public:
    TopFlowObject(Flow& flow, TreflectObject const* parent);
    // Held as holdAnswers asked; the base's removal unless the flow went meanwhile.
    void unRegisterObserver(TreflectObserverClient const& client) override;
    // ApplicationObject
    bool hasLocationId() override { return true; }
    bool getReportToExtern() override { return true; }
    LocationIdClient getLocationId() override;
    FaultServiceClient getFaultSvc() override;
    PerformanceServiceClient getPerformanceSvc() override;
    // TopFlow
    unsigned short getTransmissionDuration() override { return duration_; }
    short getLogMeanSyncValue() override;
    TipprmiArray<short, 4> getMasterIp4Addr() override;
    ConditionClient getSyncSourceLost() override;
    ConditionClient getMasterServiceUnavailable() override;
    TopFlowClient::DriverInfo getDriverInfo() override;
    void setTransmissionDuration(unsigned short d) override { duration_ = d; }
    void setLogMeanSyncValue(short value) override;
    void setMasterIp4Addr(TipprmiArray<short, 4> const& address) override;
    void setDriverInfo(TopFlowClient::DriverInfo const& info) override;
    void setTopEnable(bool enable) override;
    void setTopDrvInitStatus(bool initialised) override;
    ResponseInfo<GetClient> getTopSrcIpAddress(TipprmiArray<short, 4>& address) override;
    ResponseInfo<SetClient> setTopSrcIpAddress(TipprmiArray<short, 4> const& address) override;

private:
    Flow& flow_;
    unsigned short duration_ = 0;
    TipprmiArray<short, 4> srcIp_;
};

// One TopFlow and the objects it hands out; they are its children.
struct Flow {
    Flow(unsigned long key, unsigned long unit, TreflectObject const* services);
    ~Flow();
    ModelControlClient::FlowState state;
    std::unique_ptr<TopFlowObject> object;
    std::unique_ptr<AdminStateObject> admin;
    std::unique_ptr<FaultServiceObject> fault;
    std::unique_ptr<ConditionObject> syncSourceLost, masterServiceUnavailable;
    std::unique_ptr<UnitIdObject> unitId;
    std::unique_ptr<PerformanceServiceObject> performance;
};

class TopServicesObject : public TopServicesServerBase {
public:
    explicit TopServicesObject(Model& model);
    TopFlowClient getFlow(PhysicalServicesClient::Key const& key) override;
    TipprmiSequence<TopFlowClient> getFlows(PhysicalServicesClient::Key const& from,
                                            PhysicalServicesClient::Key const& to) override;

private:
    Model& model_;
};

class PhysicalServicesObject : public PhysicalServicesServerBase {
public:
    explicit PhysicalServicesObject(Model& model);
    void dispatchAlarms(TipprmiSequence<PhysicalServicesClient::Alarm> const& alarms) override;

private:
    Model& model_;
};

// Calls its own changeOfInterval every 15 minutes, so that its observers hear of it.
class PsIntervalTimerObject : public PsIntervalTimerServerBase {
public:
    // `seconds` 0: only tick() changes the interval.
    explicit PsIntervalTimerObject(long seconds = 900);
    ~PsIntervalTimerObject() override;
    unsigned long getElapsedTime() override;
    void changeOfInterval() override;
    // Runs changeOfInterval through a handle, as a caller would.
    void tick();
    // Wall-clock ends of the last 96 intervals, the latest first.
    std::deque<ModelControlClient::IntervalEnd> ends;

private:
    int expired();
    OSWrap::TimeSpec intervalStart_;
    OSWrap::AttachedTimer<PsIntervalTimerObject> timer_;
};

class ModelControlObject : public ModelControlServerBase {
public:
    explicit ModelControlObject(Model& model);
    TopFlowClient createFlow(unsigned long key, unsigned long unit, long adminState,
                             TipprmiArray<short, 4> const& masterIp) override;
    bool deleteFlow(unsigned long key) override;
    TipprmiSequence<ModelControlClient::FlowState> getFlows() override;
    bool setAdminState(unsigned long key, long state) override;
    bool setMasterIp(unsigned long key, TipprmiArray<short, 4> const& address) override;
    bool setLogMeanSyncValue(unsigned long key, short value) override;
    TopFlowClient::DriverInfo requestDriverInfo(unsigned long key) override;
    TipprmiSequence<ModelControlClient::AlarmRecord> getAlarms() override;
    void clearAlarms() override;
    void triggerPerformance(unsigned long key, TipprmiSequence<unsigned long> const& idents,
                            unsigned long command) override;
    ModelControlClient::PerformanceRecord getPerformance(unsigned long key) override;
    void changeOfInterval() override;
    TipprmiSequence<ModelControlClient::IntervalEnd> getIntervalEnds() override;
    void holdAnswers(std::string const& operation, unsigned long skip, unsigned long ms) override;

private:
    Model& model_;
};

class Model {
public:
    // Builds the well-known objects and announces the interval timer
    // (changing the interval every `intervalSeconds`, 0: only when told).
    // Called with the run permission held.
    explicit Model(long intervalSeconds = 900);
    ~Model();

    // A new flow with its values, announced by its creation event; null when
    // the key is taken.
    Flow* createFlow(unsigned long key, unsigned long unit, long admin = 0,
                     TipprmiArray<short, 4> const& master = TipprmiArray<short, 4>(), short logMeanSyncValue = 0);
    // Announces the deletion and removes the flow; false when there is none.
    bool deleteFlow(unsigned long key);
    Flow* flow(unsigned long key);
    std::map<unsigned long, std::unique_ptr<Flow> > const& flows() const { return flows_; }

    void recordAlarm(unsigned long key, long condition, bool raise);
    // One line: every flow with its values as the task set them, and the
    // alarms received.
    std::string summary();
    void endAlarmBatch() { ++batch_; }
    // The alarm changes as received: the latest kAlarmLog of them, and the
    // last of each condition of a flow there is, in the order received. An
    // answer then fits in one message however long the card runs.
    TipprmiSequence<ModelControlClient::AlarmRecord> alarms() const;
    void clearAlarms();
    static size_t const kAlarmLog = 2048;

    TopServicesObject& topServices() { return *topServices_; }
    PsIntervalTimerObject& intervalTimer() { return *intervalTimer_; }

private:
    unsigned long batch_ = 1;
    unsigned long received_ = 0;  // since the last clear; numbers the records
    std::deque<ModelControlClient::AlarmRecord> alarmLog_;
    std::map<std::pair<unsigned long, long>, ModelControlClient::AlarmRecord> lastAlarm_;
    std::unique_ptr<TopServicesObject> topServices_;
    std::unique_ptr<PhysicalServicesObject> physicalServices_;
    std::unique_ptr<PsIntervalTimerObject> intervalTimer_;
    std::unique_ptr<ModelControlObject> control_;
    std::map<unsigned long, std::unique_ptr<Flow> > flows_;
};

}  // namespace sim
