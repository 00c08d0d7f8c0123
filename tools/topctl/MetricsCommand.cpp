// metrics: the node in the OpenMetrics text exposition (gauges only, so that
// the Prometheus text parsers of a node exporter's text-file collector and
// of promtool read it too); with --listen, the exporter (Exporter.cpp).
#include <cstdio>
#include <map>

#include "Metrics.h"
#include "PerformanceServiceClient.h"
#include "REFLECT_orb.h"
#include "TopFlowClient.h"

namespace topctl {

namespace {

std::string decimal(double v) {
    char text[32];
    std::snprintf(text, sizeof text, "%.9g", v);
    return text;
}

char const* statistic(unsigned long ident) {
    return ident == static_cast<unsigned long>(TopFlowClient::PM_IDENT_MIN_PHASE_ERROR)   ? "min"
           : ident == static_cast<unsigned long>(TopFlowClient::PM_IDENT_AVG_PHASE_ERROR) ? "avg"
           : ident == static_cast<unsigned long>(TopFlowClient::PM_IDENT_MAX_PHASE_ERROR) ? "max"
                                                                                          : nullptr;
}

}  // namespace

void Family::add(std::string const& labels, long long value) { samples.emplace_back(labels, std::to_string(value)); }
void Family::add(std::string const& labels, unsigned long long value) {
    samples.emplace_back(labels, std::to_string(value));
}
void Family::addSeconds(std::string const& labels, long long ns) { add(labels, static_cast<double>(ns) / 1e9); }
void Family::add(std::string const& labels, double value) { samples.emplace_back(labels, decimal(value)); }

std::string labelValue(std::string const& text) {
    std::string out = "\"";
    for (char c : text) {
        if (c == '\\' || c == '"') out += '\\';
        if (c == '\n')
            out += "\\n";
        else
            out += c;
    }
    return out + "\"";
}

CardReading readCard(Session& s, bool tolerate) {
    CardReading r;
    Family admin{"topadapter_flow_admin_unlocked", "gauge", "", "Administrative state of the flow: 1 unlocked, 0 locked.", {}};
    Family state{"topadapter_flow_adapter_state", "gauge", "",
                 "State of the flow's adapter in its task: 0 disabled, 1 enabled (waiting for a master address or "
                 "configuration failed), 2 starting, 3 running.",
                 {}};
    Family alarm{"topadapter_flow_alarm_raised", "gauge", "",
                 "Whether the model holds the flow's alarm condition raised, as the task last sent it.", {}};
    Family sls{"topadapter_flow_sync_loss_seconds", "gauge", "seconds",
               "Seconds without lock in the running (interval=\"current\") and the last closed interval.", {}};
    Family phase{"topadapter_flow_phase_error_seconds", "gauge", "seconds",
                 "Minimum, average and maximum phase error in the running and the last closed interval.", {}};
    Family missed{"topadapter_flow_missed_sync_messages", "gauge", "",
                  "Sync messages missed in the running and the last closed interval.", {}};
    Family task{"topadapter_task_driver_state", "gauge", "",
                "Driver state of the task's ToP chip (0 running, 6 not started, -1 not readable).", {}};

    if (tolerate) s.tolerateFailedCalls();
    r.modelUp = !tolerate || s.modelReachable();
    ModelView v;
    if (r.modelUp) v = readModel(s, false, true);
    if (tolerate && s.lastCallFailed()) {
        // The model went during the reading: what it said is not whole.
        r.modelUp = false;
        v = ModelView();
    }
    if (!r.modelUp) v.tasks = s.tasks();
    for (auto const& t : v.tasks) {
        if (!t.answered) continue;
        ++r.tasks;
        task.add("unit=\"" + std::to_string(t.view.unit) + "\"", static_cast<long long>(t.view.driverState));
    }
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        std::string const labels = "flow=\"" + std::to_string(f.key) + "\",unit=\"" + std::to_string(f.unit) + "\"";
        admin.add(labels, f.adminState == 1 ? 1ll : 0ll);
        for (long c : kConditions) {
            auto l = v.last.find({f.key, c});
            alarm.add(labels + ",condition=\"" + conditionName(c) + "\"",
                      static_cast<long long>(l != v.last.end() && l->second.raise));
        }
        auto a = v.adapters.find(f.key);
        if (a == v.adapters.end()) continue;
        state.add(labels, static_cast<long long>(a->second.state));
        if (!a->second.counting) continue;
        // The trigger returns once the task has answered (it answers from its pre-observation).
        TipprmiSequence<unsigned long> idents;
        for (unsigned long id : counterIdents()) idents.push_back(id);
        s.model([&](ModelControlClient& c) { c.triggerPerformance(f.key, idents, 8); });
        ModelControlClient::PerformanceRecord p =
            s.model([&](ModelControlClient& c) { return c.getPerformance(f.key); });
        for (unsigned long k = 0; k < p.adapterData.getLength(); ++k) {
            PerformanceServiceClient::IdentData_t const& d = p.adapterData[k];
            for (int last = 0; last < 2; ++last) {
                if (last ? d.elapsed == 0 : !d.valid) continue;
                long long const value = counterValue(d.ident, last ? d.history[0] : d.current);
                std::string const l = labels + ",interval=\"" + (last ? "last" : "current") + "\"";
                if (d.ident == static_cast<unsigned long>(TopAdapterStatusClient::PM_IDENT_SLS)) sls.add(l, value);
                if (char const* stat = statistic(d.ident)) phase.addSeconds(l + ",statistic=\"" + stat + "\"", value);
                if (d.ident == static_cast<unsigned long>(TopAdapterStatusClient::PM_IDENT_NO_RX_SYNC))
                    missed.add(l, value);
            }
        }
    }
    r.gauges = {admin, state, alarm, sls, phase, missed, task};

    std::map<unsigned long, std::string> names;
    for (auto const& a : s.actors()) names[a.termId.value()] = a.name;
    std::list<TreflectORB::PerfCntMultInfo> counters;
    {
        CallScope scope;
        counters = s.orb().getPerfCnts();
    }
    for (auto const& peer : counters) {
        if (peer.info.actor.empty()) continue;
        r.answered.push_back(peer.peer.value());
        for (unsigned long i = 0; i < peer.info.counters.getLength(); ++i) {
            TreflectORB::PerfCnts const& c = peer.info.counters[i];
            auto n = names.find(c.termId.value());
            OrbCount o;
            o.actor = peer.info.actor;
            o.termination = peer.peer.value();
            o.destination = c.termId.value();
            o.destinationActor = n == names.end() ? "gone" : n->second;
            o.sent = c.sent;
            o.failed = c.failed;
            r.orb.push_back(o);
        }
    }
    return r;
}

std::string exposition(std::vector<Family> const& families, Exposition format) {
    bool const open = format == Exposition::kOpenMetrics;
    std::string out;
    for (Family const& f : families) {
        bool const counter = std::string(f.type) == "counter";
        // A counter family is named without its samples' "_total" in OpenMetrics only.
        std::string const sample = counter ? f.name + "_total" : f.name;
        std::string const family = open ? f.name : sample;
        out += "# HELP " + family + " " + f.help + "\n# TYPE " + family + " " + f.type + "\n";
        if (open && *f.unit) out += "# UNIT " + family + " " + f.unit + "\n";
        for (auto const& s : f.samples)
            out += sample + (s.first.empty() ? std::string() : "{" + s.first + "}") + " " + s.second + "\n";
    }
    if (open) out += "# EOF\n";
    return out;
}

Exit cmdMetrics(Words& w) {
    std::string listen, intervalText;
    bool const serve = takeOption(w, "--listen", &listen);
    bool const paced = takeOption(w, "--interval", &intervalText);
    noMoreWords(w, 0);
    if (paced && !serve) usageError("--interval paces --listen");
    double const interval = paced ? seconds(intervalText, 0, 86400, "--interval") : 10;
#ifndef TOPCTL_HTTP
    (void)interval;
    if (serve) fail("this topctl was built without an HTTP server library: no --listen");
#endif
    Session s;
#ifdef TOPCTL_HTTP
    if (serve) return serveMetrics(s, listen, interval);
#endif
    CardReading r = readCard(s, false);
    Family sent{"topadapter_orb_messages_sent", "gauge", "",
                "Messages an actor's ORB sent to a destination since its counters were last read.", {}};
    Family failed{"topadapter_orb_messages_failed", "gauge", "",
                  "Messages an actor's ORB failed to send to a destination since its counters were last read.", {}};
    for (OrbCount const& o : r.orb) {
        std::string const labels = "actor=" + labelValue(o.actor) + ",termination=\"" + hex32(o.termination) +
                                   "\",destination=\"" + hex32(o.destination) +
                                   "\",destination_actor=" + labelValue(o.destinationActor);
        sent.add(labels, static_cast<long long>(o.sent));
        failed.add(labels, static_cast<long long>(o.failed));
    }
    r.gauges.push_back(sent);
    r.gauges.push_back(failed);
    std::fputs(exposition(r.gauges, Exposition::kOpenMetrics).c_str(), stdout);
    return kDone;
}

}  // namespace topctl
