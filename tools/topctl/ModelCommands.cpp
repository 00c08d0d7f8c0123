// Commands on the model's flows and alarms, with the tasks' view of them.
#include <cstdio>

#include "Commands.h"

namespace topctl {

namespace {

char const* clockName(ModelControlClient::FlowState const& f) {
    return clockStateName(static_cast<long>(f.driverInfo.masterClockState));
}

// The task's record of one alarm condition of a flow, if it keeps one.
TopAdapterStatusClient::AlarmStatus const* alarmRecord(TopAdapterStatusClient::FlowStatus const* adapter, long condition) {
    if (!adapter) return nullptr;
    for (unsigned long i = 0; i < adapter->alarms.getLength(); ++i)
        if (adapter->alarms[i].condition == condition) return &adapter->alarms[i];
    return nullptr;
}

std::string alarmList(ModelView const& v, unsigned long key) {
    std::string out;
    for (long c : v.active(key)) out += (out.empty() ? "" : ",") + std::string(conditionName(c));
    return out.empty() ? "-" : out;
}

std::string adapterOf(ModelView const& v, unsigned long key) {
    auto a = v.adapters.find(key);
    return a == v.adapters.end() ? "-" : adapterStateName(a->second.state, a->second.masterIp);
}

// What changed, as text or JSON.
Exit done(JsonWriter& j, std::string const& text) {
    if (options().json)
        printJson(j.endObject());
    else
        std::printf("%s\n", text.c_str());
    return kDone;
}

}  // namespace

std::vector<long> ModelView::active(unsigned long key) const {
    std::vector<long> out;
    for (auto const& l : last)
        if (l.first.first == key && l.second.raise) out.push_back(l.first.second);
    return out;
}

unsigned long ModelView::activeCount() const {
    unsigned long n = 0;
    for (auto const& l : last) n += l.second.raise ? 1 : 0;
    return n;
}

ModelControlClient::FlowState const* ModelView::flow(unsigned long key) const {
    for (unsigned long i = 0; i < flows.getLength(); ++i)
        if (flows[i].key == key) return &flows[i];
    return nullptr;
}

ModelView readModel(Session& s, bool askDriver, bool withTasks, unsigned long const* only) {
    ModelView v;
    // One call at a time, so that --timing counts them.
    if (askDriver && only) {
        s.model([&](ModelControlClient& c) { c.requestDriverInfo(*only); });
    } else if (askDriver) {
        TipprmiSequence<ModelControlClient::FlowState> first = s.model([](ModelControlClient& c) { return c.getFlows(); });
        for (unsigned long i = 0; i < first.getLength(); ++i)
            s.model([&](ModelControlClient& c) { c.requestDriverInfo(first[i].key); });
    }
    v.flows = s.model([](ModelControlClient& c) { return c.getFlows(); });
    v.alarms = s.model([](ModelControlClient& c) { return c.getAlarms(); });
    for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
        v.last[{v.alarms[i].key, v.alarms[i].condition}] = v.alarms[i];
        v.batches = std::max(v.batches, v.alarms[i].batch);
        v.received = std::max(v.received, v.alarms[i].seq);
    }
    if (withTasks) {
        v.tasks = s.tasks();
        for (auto const& t : v.tasks)
            for (unsigned long i = 0; i < t.view.flows.getLength(); ++i) v.adapters[t.view.flows[i].key] = t.view.flows[i];
    }
    return v;
}

void flowsTable(ModelView const& v) {
    if (v.flows.getLength() == 0) {
        std::printf("no flows in the model\n");
        return;
    }
    std::printf("%-6s %-5s %-9s %-15s %-5s %-18s %-6s %-5s %-10s %s\n", "flow", "unit", "admin", "master", "rate",
                "adapter", "driver", "lock", "clock", "alarms");
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        char const* lock = !f.drvInitStatus ? "-" : lockedToMaster(f.driverInfo.masterLockState) ? "yes" : "no";
        std::printf("%-6lu %-5lu %-9s %-15s %-5d %-18s %-6s %-5s %-10s %s\n", f.key, f.unit, adminName(f.adminState),
                    dotted(f.masterIp).c_str(), f.logMeanSyncValue, adapterOf(v, f.key).c_str(),
                    f.drvInitStatus ? "up" : "-", lock,
                    f.drvInitStatus ? clockName(f) : "-",
                    alarmList(v, f.key).c_str());
    }
}

void flowsJson(JsonWriter& j, ModelView const& v) {
    j.key("flows").beginArray();
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        j.beginObject().member("key", f.key).member("unit", f.unit).member("admin", adminName(f.adminState));
        j.member("masterIp", dotted(f.masterIp)).member("logMeanSyncValue", f.logMeanSyncValue);
        auto a = v.adapters.find(f.key);
        j.key("adapter");
        if (a == v.adapters.end())
            j.null();
        else
            j.beginObject()
                .member("state", adapterStateName(a->second.state, a->second.masterIp))
                .member("since", rfc3339(a->second.sinceSec, a->second.sinceMs))
                .endObject();
        j.member("driverUp", f.drvInitStatus).key("lock");
        if (f.drvInitStatus)
            j.value(lockedToMaster(f.driverInfo.masterLockState));
        else
            j.null();
        j.member("masterClock", clockName(f));
        // What the task last reported to the flow, as the model holds it.
        long const lockState = f.driverInfo.masterLockState, clockState = static_cast<long>(f.driverInfo.masterClockState);
        j.key("driverInfo").beginObject().member("masterLockState", lockState);
        j.member("masterLockStateName", lockStateName(lockState)).member("masterClockState", clockState);
        j.member("masterClockStateName", clockStateName(clockState)).key("list").beginArray();
        for (unsigned long k = 0; k < f.driverInfo.list.getLength(); ++k) j.value(f.driverInfo.list[k]);
        j.endArray().endObject();
        j.key("activeAlarms").beginArray();
        for (long c : v.active(f.key)) j.value(conditionName(c));
        j.endArray().endObject();
    }
    j.endArray();
}

Exit cmdFlows(Words& w) {
    bool const keys = takeFlag(w, "--keys");
    noMoreWords(w, 0);
    Session s;
    ModelView v = readModel(s, !keys, !keys);
    if (keys && options().json) {
        JsonWriter j = jsonDocument();
        j.key("keys").beginArray();
        for (unsigned long i = 0; i < v.flows.getLength(); ++i) j.value(v.flows[i].key);
        printJson(j.endArray().endObject());
    } else if (keys) {
        for (unsigned long i = 0; i < v.flows.getLength(); ++i) std::printf("%lu\n", v.flows[i].key);
    } else if (options().json) {
        JsonWriter j = jsonDocument();
        flowsJson(j, v);
        printJson(j.endObject());
    } else {
        flowsTable(v);
    }
    return kDone;
}

Exit cmdFlow(Words& w) {
    if (w.size() != 1) usageError("flow needs KEY");
    unsigned long const key = flowKey(w[0]);
    Session s;
    ModelView v = readModel(s, true, true, &key);
    ModelControlClient::FlowState const* f = v.flow(key);
    if (!f) fail("no flow " + std::to_string(key) + " in the model");
    Task const* task = nullptr;
    for (auto const& t : v.tasks)
        if (t.answered && t.view.unit == f->unit) task = &t;
    auto a = v.adapters.find(key);
    TopAdapterStatusClient::FlowStatus const* adapter = a == v.adapters.end() ? nullptr : &a->second;
    int64_t nowSec = 0;
    unsigned nowMs = 0;
    wallClock(&nowSec, &nowMs);
    double const now = static_cast<double>(nowSec) + nowMs / 1000.0;
    if (options().json) {
        JsonWriter j = jsonDocument();
        j.member("key", key).member("unit", f->unit).member("admin", adminName(f->adminState));
        j.member("masterIp", dotted(f->masterIp)).member("logMeanSyncValue", f->logMeanSyncValue);
        j.member("driverUp", f->drvInitStatus).member("masterLockState", f->driverInfo.masterLockState);
        j.member("masterClock", clockName(*f));
        j.key("task");
        if (task)
            j.beginObject()
                .member("orbId", hex32(task->orbId))
                .member("topSupported", task->view.topSupported)
                .member("driverState", task->view.driverState)
                .member("apiAlive", task->view.apiState == TopAdapterStatusClient::API_ALIVE)
                .endObject();
        else
            j.null();
        j.key("adapter");
        if (adapter) {
            j.beginObject().member("state", adapterStateName(adapter->state, adapter->masterIp));
            j.member("stateCode", adapter->state).member("since", rfc3339(adapter->sinceSec, adapter->sinceMs));
            j.member("masterIp", dotted(adapter->masterIp)).member("logMeanSyncValue", adapter->logMeanSyncValue);
            j.member("pending", adapter->pending).member("counting", adapter->counting).endObject();
        } else {
            j.null();
        }
        j.key("alarms").beginArray();
        for (long c : kConditions) {
            j.beginObject().member("condition", conditionName(c));
            if (TopAdapterStatusClient::AlarmStatus const* record = alarmRecord(adapter, c)) {
                TopAdapterStatusClient::AlarmStatus const& r = *record;
                j.member("decided", r.raise ? "raise" : "cancel").member("phase", phaseName(r.phase)).key("dueMs");
                if (r.dueMs >= 0)
                    j.value(r.dueMs);
                else
                    j.null();
            }
            auto l = v.last.find({key, c});
            j.key("model");
            if (l == v.last.end())
                j.null();
            else
                j.beginObject()
                    .member("raised", l->second.raise)
                    .member("received", rfc3339(l->second.sec, l->second.ms))
                    .member("batch", l->second.batch)
                    .endObject();
            j.endObject();
        }
        printJson(j.endArray().endObject());
        return kDone;
    }
    std::printf("flow %lu (unit %lu)\n", key, f->unit);
    std::printf("  %-28s %s\n", "admin", adminName(f->adminState));
    std::printf("  %-28s %s, rate %d (log mean sync value)\n", "master", dotted(f->masterIp).c_str(),
                f->logMeanSyncValue);
    if (!task) {
        std::printf("  %-28s no task serves unit %lu\n", "adapter", f->unit);
    } else if (!adapter) {
        std::printf("  %-28s none: the task of unit %lu (ORB %s) %s\n", "adapter", f->unit,
                    hex32(task->orbId).c_str(), task->view.topSupported ? "has not adopted it" : "has no ToP");
    } else {
        double const since = static_cast<double>(adapter->sinceSec) + adapter->sinceMs / 1000.0;
        std::printf("  %-28s %s since %s (%s)\n", "adapter", adapterStateName(adapter->state, adapter->masterIp),
                    rfc3339(adapter->sinceSec, adapter->sinceMs).c_str(), age(now - since).c_str());
        std::printf("  %-28s %s\n", "pending values", adapter->pending ? "yes (sent when the driver is up)" : "no");
        std::printf("  %-28s %s\n", "performance counters", adapter->counting ? "running" : "stopped");
    }
    if (task)
        std::printf("  %-28s state %ld (%s), API %s\n", "driver", task->view.driverState,
                    driverStateName(task->view.driverState), apiStateName(task->view.apiState));
    std::printf("  %-28s %s, master clock %s\n", "lock",
                !f->drvInitStatus ? "-" : lockedToMaster(f->driverInfo.masterLockState) ? "yes" : "no", clockName(*f));
    for (long c : kConditions) {
        std::string line;
        if (TopAdapterStatusClient::AlarmStatus const* record = alarmRecord(adapter, c)) {
            TopAdapterStatusClient::AlarmStatus const& r = *record;
            line = std::string(r.raise ? "raise" : "cancel") + ", " + phaseName(r.phase);
            if (r.dueMs >= 0) line += ", due in " + std::to_string(r.dueMs / 1000.0).substr(0, 5) + " s";
        } else {
            line = "-";
        }
        auto l = v.last.find({key, c});
        if (l != v.last.end())
            line += "; model: " + std::string(l->second.raise ? "raised" : "cancelled") + " at " +
                    rfc3339(l->second.sec, l->second.ms) + " (batch " + std::to_string(l->second.batch) + ")";
        else
            line += "; model: nothing received";
        std::printf("  %-28s %s\n", conditionName(c), line.c_str());
    }
    return kDone;
}

Exit cmdSet(Words& w) {
    if (w.size() != 3) usageError("set needs KEY admin|master|rate VALUE");
    unsigned long const key = flowKey(w[0]);
    std::string const& what = w[1];
    std::string const& text = w[2];
    JsonWriter j = jsonDocument();
    j.member("key", key);
    bool changed = false;
    std::string shown;
    if (what == "admin") {
        long const state = adminState(text);
        Session s;
        changed = s.model([&](ModelControlClient& c) { return c.setAdminState(key, state); });
        shown = std::string("admin ") + adminName(state);
        j.member("admin", adminName(state));
    } else if (what == "master") {
        TipprmiArray<short, 4> a = address(text);
        Session s;
        changed = s.model([&](ModelControlClient& c) { return c.setMasterIp(key, a); });
        shown = "master " + dotted(a);
        j.member("masterIp", dotted(a));
    } else if (what == "rate") {
        // The protocol carries the log mean message interval as a signed byte.
        short const rate = static_cast<short>(number(text, -128, 127, "log mean sync value"));
        Session s;
        changed = s.model([&](ModelControlClient& c) { return c.setLogMeanSyncValue(key, rate); });
        shown = "rate " + std::to_string(rate);
        j.member("logMeanSyncValue", rate);
    } else {
        usageError("unknown value '" + what + "' (admin, master or rate)");
    }
    if (!changed) fail("no flow " + std::to_string(key) + " in the model");
    return done(j, "flow " + std::to_string(key) + ": " + shown);
}

Exit cmdCreate(Words& w) {
    if (w.size() < 2 || w.size() > 4) usageError("create needs KEY UNIT [locked|unlocked [A.B.C.D]]");
    unsigned long const key = flowKey(w[0]);
    unsigned long const unit = static_cast<unsigned long>(number(w[1], 0, UINT32_MAX, "unit"));
    long const admin = w.size() > 2 ? adminState(w[2]) : 0;
    TipprmiArray<short, 4> master = w.size() > 3 ? address(w[3]) : TipprmiArray<short, 4>();
    Session s;
    bool const made =
        s.model([&](ModelControlClient& c) { return c.createFlow(key, unit, admin, master).isConnected(); });
    if (!made) fail("flow " + std::to_string(key) + " exists already");
    JsonWriter j = jsonDocument();
    j.member("key", key).member("unit", unit).member("admin", adminName(admin));
    j.member("masterIp", dotted(master)).member("created", true);
    return done(j, "flow " + std::to_string(key) + " created on unit " + std::to_string(unit) + " (" +
                       adminName(admin) + ", master " + dotted(master) + ")");
}

Exit cmdDelete(Words& w) {
    if (w.size() != 1) usageError("delete needs KEY");
    unsigned long const key = flowKey(w[0]);
    Session s;
    if (!s.model([&](ModelControlClient& c) { return c.deleteFlow(key); }))
        fail("no flow " + std::to_string(key) + " in the model");
    JsonWriter j = jsonDocument();
    j.member("key", key).member("deleted", true);
    return done(j, "flow " + std::to_string(key) + " deleted");
}

Exit cmdAlarms(Words& w) {
    bool clear = takeFlag(w, "--clear");
    if (!w.empty() && w[0] == "clear") {
        clear = true;
        w.erase(w.begin());
    }
    noMoreWords(w, 0);
    Session s;
    ModelView v = readModel(s, false, false);
    if (clear) {
        s.model([](ModelControlClient& c) { c.clearAlarms(); });
        JsonWriter j = jsonDocument();
        j.member("cleared", v.received);
        return done(j, std::to_string(v.received) + " alarm records cleared");
    }
    if (options().json) {
        JsonWriter j = jsonDocument();
        j.key("alarms").beginArray();
        for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
            ModelControlClient::AlarmRecord const& a = v.alarms[i];
            j.beginObject().member("key", a.key).member("condition", a.condition);
            j.member("name", conditionName(a.condition)).member("raise", a.raise).member("batch", a.batch);
            j.member("received", rfc3339(a.sec, a.ms)).endObject();
        }
        j.endArray().key("active").beginArray();
        for (auto const& l : v.last)
            if (l.second.raise)
                j.beginObject()
                    .member("key", l.first.first)
                    .member("condition", l.first.second)
                    .member("name", conditionName(l.first.second))
                    .endObject();
        printJson(j.endArray().endObject());
        return kDone;
    }
    if (v.alarms.getLength() > 0)
        std::printf("%-6s %-27s %-7s %-6s %s\n", "flow", "condition", "change", "batch", "received");
    for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
        ModelControlClient::AlarmRecord const& a = v.alarms[i];
        std::printf("%-6lu %-27s %-7s %-6lu %s\n", a.key, conditionName(a.condition), a.raise ? "raise" : "cancel",
                    a.batch, rfc3339(a.sec, a.ms).c_str());
    }
    std::string active;
    for (auto const& l : v.last)
        if (l.second.raise)
            active += " flow " + std::to_string(l.first.first) + " " + conditionName(l.first.second) + ";";
    std::printf("%lu received in %lu batches; active:%s\n", v.received, v.batches,
                active.empty() ? " none" : active.substr(0, active.size() - 1).c_str());
    return kDone;
}

}  // namespace topctl
