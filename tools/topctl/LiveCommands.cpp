// Commands that follow the card over time: the redrawn view (watch), the
// event stream (monitor) and a scripted wait for a flow's state (wait).
#include <signal.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <cstdio>
#include <mutex>
#include <thread>

#include "ChipControl.h"
#include "Commands.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_memberFactory.h"
#include "REFLECT_metaObject.h"
#include "REFLECT_orb.h"
#include "TopFlowClient.h"
#include "UnitIdClient.h"

namespace topctl {

namespace {

volatile sig_atomic_t gStop = 0;
void onSignal(int signal) { gStop = signal; }

// A stopped tool would hold up the node: every actor that resolves a name
// asks it too, and a task notifying it waits for it. Ctrl-Z ends the tool
// in order instead.
void catchStop() {
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    signal(SIGTSTP, onSignal);
}

void tellWhyEnded() {
    if (gStop == SIGTSTP)
        std::fprintf(stderr, "topctl: %s ended instead of stopping: a stopped tool would hold up the node\n",
                     options().command.c_str());
}

// Sleeps up to `seconds` or until told to stop.
void pause(double seconds, std::atomic<bool> const* done = nullptr) {
    auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!gStop && !(done && *done) && std::chrono::steady_clock::now() < end)
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
}

std::string nowText() {
    int64_t sec = 0;
    unsigned ms = 0;
    wallClock(&sec, &ms);
    return rfc3339(sec, ms);
}

// One line per event, from whichever thread heard of it.
class EventPrinter {
public:
    explicit EventPrinter(long long count) : left_(count) {}
    void print(std::string const& time, std::string const& text, JsonWriter& j) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (done) return;
        if (options().json)
            printJson(j.endObject());
        else
            std::printf("%s %s\n", time.c_str(), text.c_str());
        std::fflush(stdout);
        if (left_ > 0 && --left_ == 0) done = true;
    }
    std::atomic<bool> done{false};

private:
    std::mutex mutex_;
    long long left_;
};

class Listener : public TreflectObserver {
public:
    enum Kind { STATUS_CREATED, STATE_CHANGED, FLOW_CREATED, FLOW_DELETED };
    Listener(Kind kind, EventPrinter& out, Listener* states = nullptr)
        : TreflectObserver(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT), nullptr, std::string()),
          kind_(kind),
          out_(out),
          states_(states) {}
    bool handleNotification() override;
    // The status objects whose stateChanged this listener observes.
    std::vector<std::shared_ptr<TopAdapterStatusClient> > observed;
    std::atomic<bool> armed{false};

private:
    Kind kind_;
    EventPrinter& out_;
    Listener* states_;
};

bool Listener::handleNotification() {
    RunPermissionGuard g;
    TreflectObject const* source = getSource();
    if (!source) return true;
    std::string const time = nowText();
    JsonWriter j = jsonDocument();
    j.member("time", time);
    if (kind_ == STATUS_CREATED) {
        std::shared_ptr<TopAdapterStatusClient> status(new TopAdapterStatusClient(*source),
                                                       [](TopAdapterStatusClient* c) {
                                                           RunPermissionGuard permission;
                                                           delete c;
                                                       });
        if (status->operation("stateChanged")->postObserve(states_)) states_->observed.push_back(status);
        return true;
    }
    if (kind_ == STATE_CHANGED) {
        TipprmiSequence<TipprmiAny>* args = currentArguments();
        TopAdapterStatusClient::StateChange c;
        if (!args || args->getLength() < 2 || (*args)[1].empty()) return true;
        (*args)[1].extract(c);
        // Entered from disabled, the enabled state is the step before the chip's configuration, not its failure.
        typedef TopAdapterStatusClient S;
        char const* state = c.state == S::STATE_ENABLED && c.previous == S::STATE_DISABLED && c.masterIp != 0
                                ? "enabled"
                                : adapterStateName(c.state, c.masterIp);
        char const* previous = c.previous == S::STATE_ENABLED && c.state == S::STATE_STARTING
                                   ? "enabled"
                                   : adapterStateName(c.previous, c.masterIp);
        j.member("event", "adapter").member("key", c.key).member("state", state).member("previous", previous);
        out_.print(rfc3339(c.sec, c.ms), "flow " + std::to_string(c.key) + " adapter " + state + " (was " +
                                             previous + ")",
                   j.member("changed", rfc3339(c.sec, c.ms)));
        return true;
    }
    // Flows that exist already are reported while the subscription is made.
    if (kind_ == FLOW_CREATED && !armed) return true;
    unsigned long const key = UnitIdClient(TopFlowClient(*source).getLocationId()).getIdentifier();
    bool const created = kind_ == FLOW_CREATED;
    j.member("event", created ? "flow-created" : "flow-deleted").member("key", key);
    out_.print(time, "flow " + std::to_string(key) + (created ? " created" : " deleted"), j);
    return true;
}

}  // namespace

Exit cmdWatch(Words& w) {
    std::string countText, task = "topAdapter", periodText;
    long long count = 0;
    if (takeOption(w, "--count", &countText)) count = number(countText, 1, INT32_MAX, "count");
    takeOption(w, "--actor", &task);
    // As watch(1) has it.
    bool const byOption = takeOption(w, "-n", &periodText);
    noMoreWords(w, byOption ? 0 : 1);
    if (!byOption && !w.empty()) periodText = w[0];
    double const period = periodText.empty() ? 2 : seconds(periodText, 0.05, 86400, "period");
    bool const tty = isatty(STDOUT_FILENO) == 1;
    catchStop();
    Session s;
    for (long long n = 1; !gStop; ++n) {
        // The model may come and go while the view runs.
        s.tolerateFailedCalls();
        std::string reply, error;
        bool const chipOk = topdrv::sendControlCommand(topdrv::controlNamePath(task), "state", &reply, &error, 1000);
        std::string const stamp = nowText();
        ModelView v;
        bool const modelOk = s.modelReachable() && (v = readModel(s, true, true), !s.lastCallFailed());
        if (options().json) {
            JsonWriter j = jsonDocument();
            j.member("time", stamp).member("model", modelOk);
            flowsJson(j, v);
            j.key("alarms").beginObject().member("received", v.received).member("batches", v.batches);
            j.member("active", v.activeCount()).endObject().key("chip");
            if (chipOk)
                chipJson(j, reply);
            else
                j.null();
            printJson(j.endObject());
        } else {
            if (tty) std::printf("\033[H\033[2J");
            std::printf("topctl watch: %s, every %g s\n", stamp.c_str(), period);
            if (modelOk) {
                flowsTable(v);
                std::printf("alarms: %lu received in %lu batches, %lu active\n", v.received, v.batches,
                            v.activeCount());
            } else {
                std::printf("model: not reachable on the node\n");
            }
            if (chipOk)
                std::printf("chip of %s: %s", task.c_str(),
                            reply.compare(0, 3, "ok ") == 0 ? reply.c_str() + 3 : reply.c_str());
            else
                std::printf("chip of %s: not reachable\n", task.c_str());
            if (!tty) std::printf("\n");
        }
        std::fflush(stdout);
        if (count && n >= count) break;
        pause(period);
    }
    tellWhyEnded();
    return kDone;
}

Exit cmdMonitor(Words& w) {
    std::string countText, timeoutText;
    long long const count = takeOption(w, "--count", &countText) ? number(countText, 1, INT32_MAX, "count") : 0;
    double const timeout = takeOption(w, "--timeout", &timeoutText) ? seconds(timeoutText, 0, 1e9, "--timeout") : 0;
    noMoreWords(w, 0);
    catchStop();
    Session s;
    EventPrinter out(count);
    // Server objects of this ORB: made and destroyed under the run permission.
    std::unique_ptr<Listener> statesOwner, statusesOwner, createdOwner, deletedOwner;
    {
        RunPermissionGuard g;
        statesOwner.reset(new Listener(Listener::STATE_CHANGED, out));
        statusesOwner.reset(new Listener(Listener::STATUS_CREATED, out, statesOwner.get()));
        createdOwner.reset(new Listener(Listener::FLOW_CREATED, out));
        deletedOwner.reset(new Listener(Listener::FLOW_DELETED, out));
    }
    Listener &states = *statesOwner, &statuses = *statusesOwner, &created = *createdOwner, &deleted = *deletedOwner;
    auto attach = [&] {
        CallScope scope;
        TopAdapterStatusClient::staticMeta()->observeCreations(&statuses, true);
        TopFlowClient::staticMeta()->observeCreations(&created, false);
        TopFlowClient::staticMeta()->observeDeletions(&deleted);
        created.armed = true;
    };
    auto detach = [&] {
        RunPermissionGuard g;
        created.armed = false;
        TopFlowClient::staticMeta()->removeObserver(&created);
        TopFlowClient::staticMeta()->removeObserver(&deleted);
        TopAdapterStatusClient::staticMeta()->removeObserver(&statuses);
        for (auto const& status : states.observed) status->operation("stateChanged")->removeObserver(&states);
        states.observed.clear();
    };
    attach();
    unsigned long seen = 0;
    size_t tasks = 0;
    {
        RunPermissionGuard g;
        tasks = states.observed.size();
    }
    // Records are numbered as the model received them; a clear starts again at 1.
    auto const lastOf = [](TipprmiSequence<ModelControlClient::AlarmRecord> const& all) {
        return all.getLength() ? all[all.getLength() - 1].seq : 0UL;
    };
    seen = lastOf(s.model([](ModelControlClient& c) { return c.getAlarms(); }));
    if (!options().json) {
        std::printf("%s monitoring %zu tasks and the model; alarm changes as the model received them\n",
                    nowText().c_str(), tasks);
        std::fflush(stdout);
    }
    auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    s.tolerateFailedCalls();
    while (!gStop && !out.done && (timeout == 0 || std::chrono::steady_clock::now() < end)) {
        TipprmiSequence<ModelControlClient::AlarmRecord> all =
            s.model([](ModelControlClient& c) { return c.getAlarms(); });
        if (!s.lastCallFailed()) {
            if (lastOf(all) < seen) seen = 0;  // cleared meanwhile
            for (unsigned long i = 0; i < all.getLength() && !out.done; ++i) {
                ModelControlClient::AlarmRecord const& a = all[i];
                if (a.seq <= seen) continue;
                JsonWriter j = jsonDocument();
                j.member("time", rfc3339(a.sec, a.ms)).member("event", "alarm").member("key", a.key);
                j.member("condition", conditionName(a.condition)).member("raise", a.raise).member("batch", a.batch);
                out.print(rfc3339(a.sec, a.ms),
                          "flow " + std::to_string(a.key) + " alarm " + conditionName(a.condition) +
                              (a.raise ? " raise" : " cancel") + " (batch " + std::to_string(a.batch) + ")",
                          j);
            }
            seen = lastOf(all);
        }
        pause(0.25, &out.done);
    }
    out.done = true;
    detach();
    RunPermissionGuard g;
    deletedOwner.reset();
    createdOwner.reset();
    statusesOwner.reset();
    statesOwner.reset();
    s.leave();
    tellWhyEnded();
    return kDone;
}

Exit cmdWait(Words& w) {
    std::string timeoutText = "60";
    takeOption(w, "--timeout", &timeoutText);
    double const timeout = seconds(timeoutText, 0, 1e9, "--timeout");
    if (w.size() != 2) usageError("wait needs KEY running|locked|alarm-free");
    unsigned long const key = flowKey(w[0]);
    std::string const what = w[1];
    if (what != "running" && what != "locked" && what != "alarm-free")
        usageError("unknown condition '" + what + "' (running, locked or alarm-free)");
    Session s;
    auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(timeout);
    std::string now;
    for (;;) {
        ModelView v = readModel(s, what == "locked", what != "locked", &key);
        ModelControlClient::FlowState const* f = v.flow(key);
        if (!f) fail("no flow " + std::to_string(key) + " in the model");
        auto a = v.adapters.find(key);
        bool reached = false;
        if (what == "running") {
            reached = a != v.adapters.end() && a->second.state == TopAdapterStatusClient::STATE_RUNNING;
            now = a == v.adapters.end() ? "no adapter" : adapterStateName(a->second.state, a->second.masterIp);
        } else if (what == "locked") {
            reached = f->drvInitStatus && lockedToMaster(f->driverInfo.masterLockState);
            now = !f->drvInitStatus ? "driver not up" : "not locked";
        } else {
            bool decided = true;
            if (a != v.adapters.end())
                for (unsigned long i = 0; i < a->second.alarms.getLength(); ++i)
                    decided = decided && !a->second.alarms[i].raise;
            reached = v.active(key).empty() && decided;
            now = !v.active(key).empty() ? "alarm raised at the model" : "a raise is pending at the task";
        }
        if (reached) break;
        if (std::chrono::steady_clock::now() >= end) {
            if (options().json)
                printJson(jsonDocument().member("key", key).member("condition", what).member("reached", false)
                              .member("now", now).endObject());
            else
                std::printf("flow %lu: not %s within %g s (%s)\n", key, what.c_str(), timeout, now.c_str());
            return kNotYet;
        }
        pause(0.25);
        if (gStop) {
            tellWhyEnded();
            return kFailed;
        }
    }
    if (options().json)
        printJson(jsonDocument().member("key", key).member("condition", what).member("reached", true).endObject());
    else
        std::printf("flow %lu: %s\n", key, what.c_str());
    return kDone;
}

}  // namespace topctl
