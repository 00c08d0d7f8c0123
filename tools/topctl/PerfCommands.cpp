// perf: triggers a flow's performance service as its clients do and shows
// what the task answered: counters, the 96-interval history as a table, CSV
// or chart.
#include <chrono>
#include <cstdio>
#include <fstream>
#include <thread>

#include "Chart.h"
#include "Commands.h"
#include "PerformanceServiceClient.h"
#include "TopFlowClient.h"

namespace topctl {

namespace {

struct Command {
    unsigned long code;
    char const* name;
    char const* answer;  // what the task sets: "current", "history", "exist", "all", "" (nothing)
};

Command const kCommands[] = {{1, "current", "current"}, {2, "history", "history"}, {3, "3", ""},
                             {4, "exist", "exist"},     {5, "start", "exist"},     {6, "stop", "exist"},
                             {7, "reset", "exist"},     {8, "all", "all"}};

Command const& commandOf(std::string const& text) {
    for (auto const& c : kCommands)
        if (text == c.name || text == std::to_string(c.code)) return c;
    usageError("unknown trigger command '" + text + "' (current history 3 exist start stop reset all, or 1..8)");
}

// The value of row k of a counter, or nothing when the interval is not there.
std::string cell(PerformanceServiceClient::IdentData_t const* d, unsigned long k) {
    if (!d || k >= d->elapsed || k >= 96) return "-";
    return std::to_string(counterValue(d->ident, d->history[k]));
}

std::string endOf(TipprmiSequence<ModelControlClient::IntervalEnd> const& ends, unsigned long k) {
    return k < ends.getLength() ? rfc3339(ends[k].sec, ends[k].ms) : "-";
}

PerformanceServiceClient::IdentData_t const* find(ModelControlClient::PerformanceRecord const& r,
                                                  unsigned long ident) {
    for (unsigned long i = 0; i < r.adapterData.getLength(); ++i)
        if (r.adapterData[i].ident == ident) return &r.adapterData[i];
    return nullptr;
}

void historyTable(unsigned long key, ModelControlClient::PerformanceRecord const& r,
                  TipprmiSequence<ModelControlClient::IntervalEnd> const& ends, std::vector<unsigned long> const& idents,
                  bool csv) {
    if (csv) {
        std::printf("interval,end");
        for (unsigned long id : idents)
            std::printf(",%s%s%s", counter(id).name, *counter(id).unit ? "_" : "", counter(id).unit);
        std::printf("\n");
    } else {
        std::printf("flow %lu: the last 96 intervals, latest first (\"-\": no data)\n%-4s %-29s", key, "#", "end");
        for (unsigned long id : idents) {
            std::string h = std::string(counter(id).name) + (*counter(id).unit ? std::string(" ") + counter(id).unit : "");
            std::printf(" %18s", h.c_str());
        }
        std::printf("\n");
    }
    for (unsigned long k = 0; k < 96; ++k) {
        std::string const end = endOf(ends, k);
        if (csv)
            std::printf("%lu,%s", k, end == "-" ? "" : end.c_str());
        else
            std::printf("%-4lu %-29s", k, end.c_str());
        for (unsigned long id : idents) {
            std::string const c = cell(find(r, id), k);
            if (csv)
                std::printf(",%s", c == "-" ? "" : c.c_str());
            else
                std::printf(" %18s", c.c_str());
        }
        std::printf("\n");
    }
}

History chartOf(unsigned long key, ModelControlClient::PerformanceRecord const& r,
                TipprmiSequence<ModelControlClient::IntervalEnd> const& ends) {
    History h;
    h.title = "flow " + std::to_string(key) + ": phase error and seconds without lock per interval";
    unsigned long const kSls = TopAdapterStatusClient::PM_IDENT_SLS, kMin = TopFlowClient::PM_IDENT_MIN_PHASE_ERROR,
                        kAvg = TopFlowClient::PM_IDENT_AVG_PHASE_ERROR, kMax = TopFlowClient::PM_IDENT_MAX_PHASE_ERROR;
    PerformanceServiceClient::IdentData_t const *sls = find(r, kSls), *mn = find(r, kMin), *avg = find(r, kAvg),
                                                *mx = find(r, kMax);
    unsigned long n = 96;
    for (auto const* d : {sls, mn, avg, mx}) n = d ? std::min(n, d->elapsed) : 0;
    for (unsigned long k = n; k-- > 0;) {
        h.minimum.push_back(counterValue(kMin, mn->history[k]));
        h.average.push_back(counterValue(kAvg, avg->history[k]));
        h.maximum.push_back(counterValue(kMax, mx->history[k]));
        h.sls.push_back(counterValue(kSls, sls->history[k]));
    }
    if (n > 0) {
        h.firstLabel = endOf(ends, n - 1);
        h.lastLabel = endOf(ends, 0);
    }
    return h;
}

void countersJson(JsonWriter& j, ModelControlClient::PerformanceRecord const& r,
                  std::vector<unsigned long> const& idents, bool history) {
    j.key("counters").beginArray();
    for (unsigned long id : idents) {
        PerformanceServiceClient::IdentData_t const* d = find(r, id);
        if (!d) continue;
        j.beginObject().member("ident", d->ident).member("name", counter(id).name).member("unit", counter(id).unit);
        j.member("valid", d->valid).member("current", counterValue(id, d->current)).member("count", d->elapsed);
        if (history) {
            j.key("history").beginArray();
            for (unsigned long k = 0; k < d->elapsed && k < 96; ++k) j.value(counterValue(id, d->history[k]));
            j.endArray();
        }
        j.endObject();
    }
    j.endArray();
}

}  // namespace

Exit cmdPerf(Words& w) {
    bool const history = takeFlag(w, "--history");
    bool const csv = takeFlag(w, "--csv");
    bool const plot = takeFlag(w, "--plot");
    bool const last = takeFlag(w, "--last");
    std::string waitText = "3", commandText = "all", identText, svg;
    bool const waitGiven = takeOption(w, "--wait", &waitText);
    takeOption(w, "--command", &commandText);
    bool const oneIdent = takeOption(w, "--ident", &identText);
    takeOption(w, "--svg", &svg);
    double const waitSeconds = seconds(waitText, 0, 3600, "--wait");
    if (w.size() != 1) usageError("perf needs KEY");
    if (last && waitGiven) usageError("--last and --wait exclude each other");
    unsigned long const key = flowKey(w[0]);
    Command const& command = commandOf(commandText);
    std::vector<unsigned long> idents;
    if (oneIdent)
        idents.push_back(static_cast<unsigned long>(number(identText, 0, UINT32_MAX, "counter identifier")));
    else if (command.code == 8 || command.code == 3)
        idents = counterIdents();
    else if (command.code != 7)
        usageError(std::string("--command ") + command.name + " needs --ident N");
    bool const wantsHistory = history || csv || plot || !svg.empty();
    if (wantsHistory && command.code != 8) usageError("the history views read --command all");

    Session s;
    ModelControlClient::PerformanceRecord r =
        s.model([&](ModelControlClient& c) { return c.getPerformance(key); });
    if (r.key != key) fail("no flow " + std::to_string(key) + " in the model");
    unsigned long const before = r.answers;
    if (!last) {
        TipprmiSequence<unsigned long> seq;
        for (unsigned long id : idents) seq.push_back(id);
        s.model([&](ModelControlClient& c) { c.triggerPerformance(key, seq, command.code); });
        // The task answers on its own threads; the model records what arrives.
        auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
        for (;;) {
            r = s.model([&](ModelControlClient& c) { return c.getPerformance(key); });
            if (r.answers > before || std::chrono::steady_clock::now() >= end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool const answered = last ? r.answers > 0 : r.answers > before;
    TipprmiSequence<ModelControlClient::IntervalEnd> ends;
    if (answered && wantsHistory) ends = s.model([](ModelControlClient& c) { return c.getIntervalEnds(); });
    std::string const answer = command.answer;

    if (options().json) {
        JsonWriter j = jsonDocument();
        j.member("key", key).member("command", command.name).member("answered", answered);
        if (answered && answer == "current" && !idents.empty())
            j.member("current", counterValue(idents[0], r.current));
        if (answered && answer == "history") {
            j.member("count", r.elapsed).key("history").beginArray();
            for (unsigned long k = 0; k < r.elapsed && k < 96; ++k) j.value(counterValue(idents[0], r.history[k]));
            j.endArray();
        }
        if (answered && answer == "exist") j.member("exists", r.existMonitoring != 0);
        if (answered && answer == "all") {
            countersJson(j, r, idents, wantsHistory);
            if (wantsHistory) {
                j.key("intervalEnds").beginArray();
                for (unsigned long k = 0; k < ends.getLength(); ++k) j.value(rfc3339(ends[k].sec, ends[k].ms));
                j.endArray();
            }
        }
        printJson(j.endObject());
    }
    if (!answered) {
        if (!options().json) {
            if (last)
                std::printf("flow %lu: no data from the task (none received yet)\n", key);
            else
                std::printf("flow %lu: no data from the task (no answer to '%s' within %g s)\n", key, command.name,
                            waitSeconds);
        }
        return kNotYet;
    }
    if (!svg.empty()) {
        std::ofstream out(svg);
        out << svgChart(chartOf(key, r, ends));
        if (!out) fail("cannot write " + svg);
    }
    if (options().json) return kDone;
    if (answer == "current") {
        std::printf("flow %lu: %s %s in the running interval\n", key, counter(idents[0]).name,
                    withUnit(idents[0], r.current).c_str());
    } else if (answer == "history") {
        std::printf("flow %lu: %s, %lu intervals, latest first:", key, counter(idents[0]).name, r.elapsed);
        for (unsigned long k = 0; k < r.elapsed && k < 96; ++k)
            std::printf(" %lld", counterValue(idents[0], r.history[k]));
        std::printf("\n");
    } else if (answer == "exist") {
        std::printf("flow %lu: %s: monitoring %s\n", key, command.name, r.existMonitoring ? "exists" : "does not exist");
    } else if (history || csv) {
        historyTable(key, r, ends, idents, csv);
    } else if (plot) {
        for (auto const& line : terminalChart(chartOf(key, r, ends))) std::printf("%s\n", line.c_str());
    } else if (svg.empty()) {
        std::printf("flow %lu: the task's counters of the running interval\n", key);
        for (unsigned long id : idents) {
            PerformanceServiceClient::IdentData_t const* d = find(r, id);
            if (!d) {
                std::printf("  %lu %-16s not kept by the task\n", id, counter(id).name);
                continue;
            }
            std::printf("  %lu %-16s %-12s%s history of %lu intervals\n", id, counter(id).name,
                        withUnit(id, d->current).c_str(), d->valid ? "" : " (not valid)", d->elapsed);
        }
    } else {
        std::printf("flow %lu: chart written to %s\n", key, svg.c_str());
    }
    return kDone;
}

}  // namespace topctl
