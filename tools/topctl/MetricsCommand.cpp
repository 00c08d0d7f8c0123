// metrics: the node in the OpenMetrics text exposition (gauges only, so that
// the Prometheus text parsers of a node exporter's text-file collector and
// of promtool read it too).
#include <cstdio>
#include <map>

#include "Commands.h"
#include "PerformanceServiceClient.h"
#include "REFLECT_orb.h"

namespace topctl {

namespace {

struct Family {
    char const* name;
    char const* unit;  // "" for none
    char const* help;
    std::vector<std::string> samples;
};

void add(Family& f, std::string const& labels, long long value) {
    f.samples.push_back(std::string(f.name) + "{" + labels + "} " + std::to_string(value));
}

// Nanoseconds in the base unit.
void addSeconds(Family& f, std::string const& labels, long long ns) {
    char v[32];
    std::snprintf(v, sizeof v, "%.9g", static_cast<double>(ns) / 1e9);
    f.samples.push_back(std::string(f.name) + "{" + labels + "} " + v);
}

}  // namespace

int cmdMetrics(Words& w) {
    noMoreWords(w, 0);
    Session s;
    ModelView v = readModel(s, false, true);
    Family admin{"topadapter_flow_admin_unlocked", "", "Administrative state of the flow: 1 unlocked, 0 locked.", {}};
    Family state{"topadapter_flow_adapter_state", "",
                 "State of the flow's adapter in its task: 0 disabled, 1 enabled (waiting for a master address or "
                 "configuration failed), 2 starting, 3 running.",
                 {}};
    Family alarm{"topadapter_flow_alarm_raised", "",
                 "Whether the model holds the flow's alarm condition raised, as the task last sent it.", {}};
    Family sls{"topadapter_flow_sync_loss_seconds", "seconds",
               "Seconds without lock in the running (interval=\"current\") and the last closed interval.", {}};
    Family phase{"topadapter_flow_phase_error_seconds", "seconds",
                 "Minimum, average and maximum phase error in the running and the last closed interval.", {}};
    Family missed{"topadapter_flow_missed_sync_messages", "",
                  "Sync messages missed in the running and the last closed interval.", {}};
    Family task{"topadapter_task_driver_state", "", "Driver state of the task's ToP chip (0 running, 6 not started, "
                                                    "-1 not readable).",
                {}};
    Family sent{"topadapter_orb_messages_sent", "",
                "Messages an actor's ORB sent to a destination since its counters were last read.", {}};
    Family failed{"topadapter_orb_messages_failed", "",
                  "Messages an actor's ORB failed to send to a destination since its counters were last read.", {}};

    for (auto const& t : v.tasks)
        if (t.answered) add(task, "unit=\"" + std::to_string(t.view.unit) + "\"", t.view.driverState);
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        std::string const labels = "flow=\"" + std::to_string(f.key) + "\",unit=\"" + std::to_string(f.unit) + "\"";
        add(admin, labels, f.adminState == 1 ? 1 : 0);
        for (long c = 1; c <= 2; ++c) {
            auto l = v.last.find({f.key, c});
            add(alarm, labels + ",condition=\"" + conditionName(c) + "\"", l != v.last.end() && l->second.raise);
        }
        auto a = v.adapters.find(f.key);
        if (a == v.adapters.end()) continue;
        add(state, labels, a->second.state);
        if (!a->second.counting) continue;
        // The trigger returns once the task has answered (it answers from its pre-observation).
        TipprmiSequence<unsigned long> idents;
        for (unsigned long id = 1; id <= 5; ++id) idents.push_back(id);
        s.model([&](ModelControlClient& c) { c.triggerPerformance(f.key, idents, 8); });
        ModelControlClient::PerformanceRecord r =
            s.model([&](ModelControlClient& c) { return c.getPerformance(f.key); });
        for (unsigned long k = 0; k < r.adapterData.getLength(); ++k) {
            PerformanceServiceClient::IdentData_t const& d = r.adapterData[k];
            static char const* const stats[] = {"", "", "min", "avg", "max"};
            for (int last = 0; last < 2; ++last) {
                if (last ? d.elapsed == 0 : !d.valid) continue;
                long long const value = counterValue(d.ident, last ? d.history[0] : d.current);
                std::string const l = labels + ",interval=\"" + (last ? "last" : "current") + "\"";
                if (d.ident == 1) add(sls, l, value);
                if (d.ident >= 2 && d.ident <= 4) addSeconds(phase, l + ",statistic=\"" + stats[d.ident] + "\"", value);
                if (d.ident == 5) add(missed, l, value);
            }
        }
    }
    std::map<unsigned long, std::string> names;
    for (auto const& a : s.actors()) names[a.termId.value()] = a.name;
    std::list<TreflectORB::PerfCntMultInfo> counters;
    {
        CallScope scope;
        counters = s.orb().getPerfCnts();
    }
    for (auto const& peer : counters) {
        if (peer.info.actor.empty()) continue;
        for (unsigned long i = 0; i < peer.info.counters.getLength(); ++i) {
            TreflectORB::PerfCnts const& c = peer.info.counters[i];
            auto n = names.find(c.termId.value());
            std::string const labels = "actor=\"" + peer.info.actor + "\",termination=\"" + hex32(peer.peer.value()) +
                                       "\",destination=\"" + hex32(c.termId.value()) + "\",destination_actor=\"" +
                                       (n == names.end() ? "gone" : n->second) + "\"";
            add(sent, labels, c.sent);
            add(failed, labels, c.failed);
        }
    }
    for (Family const* f : {&admin, &state, &alarm, &sls, &phase, &missed, &task, &sent, &failed}) {
        std::printf("# HELP %s %s\n# TYPE %s gauge\n", f->name, f->help, f->name);
        if (*f->unit) std::printf("# UNIT %s %s\n", f->name, f->unit);
        for (auto const& line : f->samples) std::printf("%s\n", line.c_str());
    }
    std::printf("# EOF\n");
    return kDone;
}

}  // namespace topctl
