// topctl: the operator's command line for a card. It joins the node as an
// actor of its own and talks to the model, the task and the chip through the
// runtime's clients and the chip's control channel.
//
// Exit status: 0 done (also when a flow's performance service got no data
// from the task: that is a state, not a failure), 1 failed (one line on
// standard error), 2 wrong command line.
#include <signal.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include "ChipControl.h"
#include "Diag.h"
#include "EnvVars.h"
#include "Json.h"
#include "REFLECT_orb.h"
#include "Session.h"

using topctl::fail;
using topctl::JsonWriter;
using topctl::Session;

namespace {

struct Command {
    char const* name;
    char const* usage;
    char const* help;
    std::function<int(std::vector<std::string>&)> run;
};

bool gJson = false;
std::string gSub;  // the subcommand, for usage messages

[[noreturn]] void usageError(std::string const& message) {
    std::fprintf(stderr, "topctl: %s (see 'topctl %s--help')\n", message.c_str(),
                 gSub.empty() ? "" : (gSub + " ").c_str());
    std::exit(2);
}

// Takes `flag` out of `words`; whether it was there.
bool takeFlag(std::vector<std::string>& words, char const* flag) {
    for (auto it = words.begin(); it != words.end(); ++it)
        if (*it == flag) {
            words.erase(it);
            return true;
        }
    return false;
}

// Takes `option VALUE` out of `words`.
bool takeOption(std::vector<std::string>& words, char const* option, std::string* value) {
    for (auto it = words.begin(); it != words.end(); ++it)
        if (*it == option) {
            if (it + 1 == words.end()) usageError(std::string(option) + " needs a value");
            *value = *(it + 1);
            words.erase(it, it + 2);
            return true;
        }
    return false;
}

void noMoreWords(std::vector<std::string> const& words, size_t count) {
    if (words.size() > count) usageError("unexpected '" + words[count] + "'");
}

long long number(std::string const& text, long long min, long long max, char const* what) {
    int64_t v = 0;
    if (!platform::parseInt64(text, min, max, &v))
        usageError(std::string("bad ") + what + " '" + text + "' (" + std::to_string(min) + ".." + std::to_string(max) +
                   ")");
    return v;
}

unsigned long flowKey(std::string const& text) {
    return static_cast<unsigned long>(number(text, 0, UINT32_MAX, "flow key"));
}

TipprmiArray<short, 4> address(std::string const& text) {
    TipprmiArray<short, 4> a;
    std::istringstream in(text);
    std::string part;
    int n = 0;
    bool ok = true;
    while (ok && std::getline(in, part, '.')) {
        int64_t v = 0;
        ok = n < 4 && !part.empty() && part.find_first_not_of("0123456789") == std::string::npos &&
             platform::parseInt64(part, 0, 255, &v);
        if (ok) a[n++] = static_cast<short>(v);
    }
    if (!ok || n != 4 || text.back() == '.') usageError("bad address '" + text + "' (A.B.C.D, each 0..255)");
    return a;
}

std::string dotted(TipprmiArray<short, 4> const& a) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%d.%d.%d.%d", a[0], a[1], a[2], a[3]);
    return buf;
}

std::string hex32(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", v & 0xFFFFFFFFul);
    return buf;
}

char const* conditionName(long c) {
    return c == 1 ? "sync-source-lost" : c == 2 ? "master-service-unavailable" : "unknown";
}

char const* identName(unsigned long ident) {
    static char const* const names[] = {"?",         "sls", "min-phase-error", "avg-phase-error", "max-phase-error",
                                        "no-rx-sync"};
    return ident <= 5 ? names[ident] : "?";
}

void printJson(JsonWriter const& j) { std::printf("%s\n", j.text().c_str()); }

// ---- model ----

struct ModelView {
    TipprmiSequence<ModelControlClient::FlowState> flows;
    TipprmiSequence<ModelControlClient::AlarmRecord> alarms;
    // Conditions whose last change was a raise, by flow key.
    std::map<unsigned long, std::vector<long> > active;
    unsigned long batches = 0;
};

ModelView readModel(Session& s, bool askDriver) {
    ModelView v;
    s.model([&](ModelControlClient& c) {
        // As an operator's view asks: the task answers with fresh driver information.
        if (askDriver) {
            TipprmiSequence<ModelControlClient::FlowState> first = c.getFlows();
            for (unsigned long i = 0; i < first.getLength(); ++i) c.requestDriverInfo(first[i].key);
        }
        v.flows = c.getFlows();
        v.alarms = c.getAlarms();
    });
    std::map<std::pair<unsigned long, long>, bool> last;
    for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
        last[{v.alarms[i].key, v.alarms[i].condition}] = v.alarms[i].raise;
        v.batches = std::max(v.batches, v.alarms[i].batch);
    }
    for (auto const& l : last)
        if (l.second) v.active[l.first.first].push_back(l.first.second);
    return v;
}

void flowsTable(ModelView const& v, bool compact) {
    if (v.flows.getLength() == 0) {
        std::printf("no flows in the model\n");
        return;
    }
    if (compact)
        std::printf("%-6s %-5s %-6s %-15s %-5s %-6s %-5s %s\n", "flow", "unit", "admin", "master", "rate", "driver",
                    "lock", "alarms");
    else
        std::printf("%-6s %-5s %-6s %-15s %-5s %-6s %-5s %-6s %-7s %s\n", "flow", "unit", "admin", "master", "rate",
                    "driver", "lock", "clock", "enable", "alarms");
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        std::string alarms;
        auto a = v.active.find(f.key);
        if (a != v.active.end())
            for (long c : a->second) alarms += (alarms.empty() ? "" : ",") + std::string(conditionName(c));
        if (alarms.empty()) alarms = "-";
        char const* admin = f.adminState == 1 ? "up" : "locked";
        char const* lock = !f.drvInitStatus ? "-" : f.driverInfo.masterLockState == 0 ? "yes" : "no";
        if (compact)
            std::printf("%-6lu %-5lu %-6s %-15s %-5d %-6s %-5s %s\n", f.key, f.unit, admin, dotted(f.masterIp).c_str(),
                        f.logMeanSyncValue, f.drvInitStatus ? "up" : "-", lock, alarms.c_str());
        else
            std::printf("%-6lu %-5lu %-6s %-15s %-5d %-6s %-5s %-6d %-7s %s\n", f.key, f.unit, admin,
                        dotted(f.masterIp).c_str(), f.logMeanSyncValue, f.drvInitStatus ? "up" : "-", lock,
                        static_cast<int>(f.driverInfo.masterClockState), f.topEnable ? "yes" : "no", alarms.c_str());
    }
}

void flowsJson(JsonWriter& j, ModelView const& v) {
    j.key("flows").beginArray();
    for (unsigned long i = 0; i < v.flows.getLength(); ++i) {
        ModelControlClient::FlowState const& f = v.flows[i];
        j.beginObject().member("key", f.key).member("unit", f.unit).member("adminState", f.adminState);
        j.member("masterIp", dotted(f.masterIp)).member("logMeanSyncValue", f.logMeanSyncValue);
        j.key("driverInfo").beginObject().member("masterLockState", f.driverInfo.masterLockState);
        j.member("masterClockState", static_cast<int>(f.driverInfo.masterClockState)).key("list").beginArray();
        for (unsigned long k = 0; k < f.driverInfo.list.getLength(); ++k) j.value(f.driverInfo.list[k]);
        j.endArray().endObject();
        j.member("topEnable", f.topEnable).member("drvInitStatus", f.drvInitStatus).key("activeAlarms").beginArray();
        auto a = v.active.find(f.key);
        if (a != v.active.end())
            for (long c : a->second) j.value(conditionName(c));
        j.endArray().endObject();
    }
    j.endArray();
}

int cmdFlows(std::vector<std::string>& w) {
    noMoreWords(w, 0);
    Session s;
    ModelView v = readModel(s, true);
    if (gJson) {
        JsonWriter j;
        j.beginObject();
        flowsJson(j, v);
        printJson(j.endObject());
    } else {
        flowsTable(v, false);
    }
    return 0;
}

bool hasFlow(Session& s, unsigned long key) {
    TipprmiSequence<ModelControlClient::FlowState> flows = s.model([](ModelControlClient& c) { return c.getFlows(); });
    for (unsigned long i = 0; i < flows.getLength(); ++i)
        if (flows[i].key == key) return true;
    return false;
}

int cmdSet(std::vector<std::string>& w) {
    if (w.size() != 3) usageError("set needs KEY admin|master|rate VALUE");
    unsigned long const key = flowKey(w[0]);
    std::string const& what = w[1];
    std::string const& text = w[2];
    bool done = false;
    std::string shown;
    if (what == "admin") {
        long state = text == "unlocked" || text == "up" ? 1
                     : text == "locked"                 ? 0
                                                        : static_cast<long>(number(text, 0, 1, "admin state"));
        Session s;
        done = s.model([&](ModelControlClient& c) { return c.setAdminState(key, state); });
        shown = "admin " + std::to_string(state) + (state == 1 ? " (unlocked)" : " (locked)");
    } else if (what == "master") {
        TipprmiArray<short, 4> a = address(text);
        Session s;
        done = s.model([&](ModelControlClient& c) { return c.setMasterIp(key, a); });
        shown = "master " + dotted(a);
    } else if (what == "rate") {
        // The protocol carries the log mean message interval as a signed byte.
        short const rate = static_cast<short>(number(text, -128, 127, "log mean sync value"));
        Session s;
        done = s.model([&](ModelControlClient& c) { return c.setLogMeanSyncValue(key, rate); });
        shown = "rate " + std::to_string(rate);
    } else {
        usageError("unknown value '" + what + "' (admin, master or rate)");
    }
    if (!done) fail("no flow " + std::to_string(key) + " in the model");
    std::printf("flow %lu: %s\n", key, shown.c_str());
    return 0;
}

int cmdCreate(std::vector<std::string>& w) {
    if (w.size() < 2 || w.size() > 4) usageError("create needs KEY UNIT [ADMIN [A.B.C.D]]");
    unsigned long const key = flowKey(w[0]);
    unsigned long const unit = static_cast<unsigned long>(number(w[1], 0, UINT32_MAX, "unit"));
    long const admin = w.size() > 2 ? static_cast<long>(number(w[2], 0, 1, "admin state")) : 0;
    TipprmiArray<short, 4> master = w.size() > 3 ? address(w[3]) : TipprmiArray<short, 4>();
    Session s;
    bool const made =
        s.model([&](ModelControlClient& c) { return c.createFlow(key, unit, admin, master).isConnected(); });
    if (!made) fail("flow " + std::to_string(key) + " exists already");
    std::printf("flow %lu created on unit %lu (admin %ld, master %s)\n", key, unit, admin, dotted(master).c_str());
    return 0;
}

int cmdDelete(std::vector<std::string>& w) {
    if (w.size() != 1) usageError("delete needs KEY");
    unsigned long const key = flowKey(w[0]);
    Session s;
    if (!s.model([&](ModelControlClient& c) { return c.deleteFlow(key); }))
        fail("no flow " + std::to_string(key) + " in the model");
    std::printf("flow %lu deleted\n", key);
    return 0;
}

int cmdAlarms(std::vector<std::string>& w) {
    bool clear = takeFlag(w, "--clear");
    if (!w.empty() && w[0] == "clear") {
        clear = true;
        w.erase(w.begin());
    }
    noMoreWords(w, 0);
    Session s;
    ModelView v = readModel(s, false);
    if (clear) {
        s.model([](ModelControlClient& c) { c.clearAlarms(); });
        if (gJson)
            printJson(JsonWriter().beginObject().member("cleared", v.alarms.getLength()).endObject());
        else
            std::printf("%lu alarm records cleared\n", v.alarms.getLength());
        return 0;
    }
    if (gJson) {
        JsonWriter j;
        j.beginObject().key("alarms").beginArray();
        for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
            ModelControlClient::AlarmRecord const& a = v.alarms[i];
            j.beginObject()
                .member("key", a.key)
                .member("condition", a.condition)
                .member("name", conditionName(a.condition));
            j.member("raise", a.raise).member("batch", a.batch).endObject();
        }
        j.endArray().key("active").beginArray();
        for (auto const& f : v.active)
            for (long c : f.second)
                j.beginObject()
                    .member("key", f.first)
                    .member("condition", c)
                    .member("name", conditionName(c))
                    .endObject();
        printJson(j.endArray().endObject());
        return 0;
    }
    if (v.alarms.getLength() > 0) std::printf("%-6s %-27s %-7s %s\n", "flow", "condition", "change", "batch");
    for (unsigned long i = 0; i < v.alarms.getLength(); ++i) {
        ModelControlClient::AlarmRecord const& a = v.alarms[i];
        std::printf("%-6lu %-27s %-7s %lu\n", a.key, conditionName(a.condition), a.raise ? "raise" : "cancel", a.batch);
    }
    std::string active;
    for (auto const& f : v.active)
        for (long c : f.second) active += " flow " + std::to_string(f.first) + " " + conditionName(c) + ";";
    std::printf("%lu received in %lu batches; active:%s\n", v.alarms.getLength(), v.batches,
                active.empty() ? " none" : active.substr(0, active.size() - 1).c_str());
    return 0;
}

// ---- performance ----

int cmdPerf(std::vector<std::string>& w) {
    bool const history = takeFlag(w, "--history");
    bool const last = takeFlag(w, "--last");
    std::string waitText = "3";
    takeOption(w, "--wait", &waitText);
    double waitSeconds = 0;
    if (!platform::parseDouble(waitText, 0, 3600, &waitSeconds)) usageError("bad --wait '" + waitText + "'");
    if (w.size() != 1) usageError("perf needs KEY");
    unsigned long const key = flowKey(w[0]);
    Session s;
    if (!hasFlow(s, key)) fail("no flow " + std::to_string(key) + " in the model");
    ModelControlClient::PerformanceRecord r = s.model([&](ModelControlClient& c) { return c.getPerformance(key); });
    unsigned long const before = last ? 0 : r.answers;
    if (!last) {
        s.model([&](ModelControlClient& c) {
            TipprmiSequence<unsigned long> idents;
            for (unsigned long i = 1; i <= 5; ++i) idents.push_back(i);
            c.triggerPerformance(key, idents, 8);  // getAdapterData
        });
        // The task answers on its own threads; the model records what arrives.
        auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(waitSeconds);
        for (;;) {
            r = s.model([&](ModelControlClient& c) { return c.getPerformance(key); });
            if (r.answers > before || std::chrono::steady_clock::now() >= end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
        }
    }
    bool const answered = r.answers > before;
    if (gJson) {
        JsonWriter j;
        j.beginObject().member("key", key).member("answered", answered).member("answers", r.answers);
        j.member("current", r.current).member("elapsed", r.elapsed).member("existMonitoring", r.existMonitoring);
        j.key("counters").beginArray();
        for (unsigned long i = 0; i < r.adapterData.getLength(); ++i) {
            PerformanceServiceClient::IdentData_t const& d = r.adapterData[i];
            j.beginObject().member("ident", d.ident).member("name", identName(d.ident)).member("valid", d.valid);
            j.member("current", d.current).member("count", d.elapsed);
            if (history) {
                j.key("history").beginArray();
                for (unsigned long k = 0; k < d.elapsed && k < 96; ++k) j.value(d.history[k]);
                j.endArray();
            }
            j.endObject();
        }
        printJson(j.endArray().endObject());
        return 0;
    }
    if (!answered && last) {
        std::printf("flow %lu: no data from the task (none received yet)\n", key);
        return 0;
    }
    if (!answered) {
        std::printf("flow %lu: no data from the task (no answer within %g s; %lu answers so far)\n", key, waitSeconds,
                    r.answers);
        return 0;
    }
    std::printf("flow %lu: %lu answers\n", key, r.answers);
    for (unsigned long i = 0; i < r.adapterData.getLength(); ++i) {
        PerformanceServiceClient::IdentData_t const& d = r.adapterData[i];
        std::printf("  %lu %-16s current %lu%s, history %lu intervals\n", d.ident, identName(d.ident), d.current,
                    d.valid ? "" : " (not valid)", d.elapsed);
        if (!history) continue;
        std::string line;
        for (unsigned long k = 0; k < d.elapsed && k < 96; ++k)
            if (d.history[k] != 0) line += " [" + std::to_string(k) + "]=" + std::to_string(d.history[k]);
        std::printf("    non-zero:%s\n", line.empty() ? " none" : line.c_str());
    }
    return 0;
}

// ---- ORB ----

// `names`: the actors on the node by termination id; a destination not among them has gone.
void countersOut(JsonWriter* j, Transport::TerminationId peer, TreflectORB::PerfCntInfo const& info,
                 std::map<unsigned long, std::string> const& names) {
    auto nameOf = [&](Transport::TerminationId t) {
        auto it = names.find(t.value());
        return it == names.end() ? std::string("gone") : it->second;
    };
    TreflectORB& orb = *TreflectORB::getInstance(NSID_UNIT);
    if (j) {
        j->beginObject().member("actor", info.actor).member("termId", hex32(peer.value()));
        j->member("orbId", hex32(orb.convertId(peer).value())).key("counters").beginArray();
        for (unsigned long i = 0; i < info.counters.getLength(); ++i) {
            TreflectORB::PerfCnts const& c = info.counters[i];
            j->beginObject().member("termId", hex32(c.termId.value())).member("name", nameOf(c.termId));
            j->member("sent", c.sent).member("failed", c.failed);
            j->endObject();
        }
        j->endArray().endObject();
        return;
    }
    std::printf("%s (termination %s, ORB %s): %lu destinations\n", info.actor.c_str(), hex32(peer.value()).c_str(),
                hex32(orb.convertId(peer).value()).c_str(), info.counters.getLength());
    for (unsigned long i = 0; i < info.counters.getLength(); ++i) {
        TreflectORB::PerfCnts const& c = info.counters[i];
        std::printf("  to %s %-12s sent %u failed %u\n", hex32(c.termId.value()).c_str(),
                    ("(" + nameOf(c.termId) + ")").c_str(), c.sent, c.failed);
    }
}

void orbSelf(Session& s) {
    // The display goes to the log only; its lines are taken from there.
    // Shared with the sink: another thread may still be running it after it is replaced.
    auto captured = std::make_shared<std::vector<std::string> >();
    unsigned long const self = diag::currentThreadId();
    diag::setCaptureSink([captured, self](diag::Record const& r) {
        if (r.kind == diag::Record::Log && r.thread == self) captured->push_back(r.text);
    });
    s.orb().display(0);
    topctl::captureErrors();
    std::vector<std::string> const& lines = *captured;
    auto actors = s.actors();
    if (gJson) {
        JsonWriter j;
        j.beginObject().key("display").beginArray();
        for (auto const& l : lines) j.value(l);
        j.endArray().key("actors").beginArray();
        for (auto const& a : actors)
            j.beginObject()
                .member("name", a.name)
                .member("termId", hex32(a.termId.value()))
                .member("orbId", hex32(a.orbId))
                .member("self", a.self)
                .endObject();
        printJson(j.endArray().endObject());
        return;
    }
    for (auto const& l : lines) std::printf("%s\n", l.c_str());
    std::printf("actors on the node:\n  %-12s %-10s %s\n", "name", "termId", "orbId");
    for (auto const& a : actors)
        std::printf("  %-12s %-10s %s%s\n", a.name.c_str(), hex32(a.termId.value()).c_str(), hex32(a.orbId).c_str(),
                    a.self ? "  (this topctl)" : "");
}

int cmdOrb(std::vector<std::string>& w) {
    bool const self = takeFlag(w, "--self");
    noMoreWords(w, 1);
    Session s;
    if (self) {
        if (!w.empty()) usageError("--self takes no actor");
        orbSelf(s);
        return 0;
    }
    std::vector<std::pair<Transport::TerminationId, TreflectORB::PerfCntInfo> > got;
    {
        topctl::CallScope scope;
        if (w.empty()) {
            for (auto const& one : s.orb().getPerfCnts()) got.emplace_back(one.peer, one.info);
        } else {
            for (auto const& t : s.findActor(w[0])) got.emplace_back(t, s.orb().getPerfCnts(t));
        }
    }
    std::map<unsigned long, std::string> names;
    for (auto const& a : s.actors()) names[a.termId.value()] = a.name;
    // Every actor answers with its name; none means no answer came.
    for (auto const& g : got)
        if (g.second.actor.empty() && !w.empty()) fail("no answer from termination " + hex32(g.first.value()));
    JsonWriter j;
    if (gJson) j.beginObject().key("peers").beginArray();
    for (auto const& g : got) {
        if (g.second.actor.empty()) {
            if (!gJson) std::printf("(termination %s did not answer)\n", hex32(g.first.value()).c_str());
            continue;
        }
        countersOut(gJson ? &j : nullptr, g.first, g.second, names);
    }
    if (gJson)
        printJson(j.endArray().endObject());
    else if (got.empty())
        std::printf("no other actor on the node\n");
    return 0;
}

// ---- chip ----

std::string chipPath(std::vector<std::string>& w) {
    std::string pid, actor;
    bool const byPid = takeOption(w, "-p", &pid);
    bool const byName = takeOption(w, "-n", &actor);
    if (byPid && byName) usageError("-n and -p exclude each other");
    if (byPid) return topdrv::controlSocketPath(static_cast<long>(number(pid, 1, INT32_MAX, "process id")));
    return topdrv::controlNamePath(byName ? actor : "topAdapter");
}

// "ok a=1 b=x" as a JSON object; anything else as its text.
void chipJson(JsonWriter& j, std::string const& reply) {
    bool const ok = reply.compare(0, 2, "ok") == 0;
    j.beginObject().member("ok", ok);
    std::string first = reply.substr(0, reply.find('\n'));
    std::istringstream in(first.substr(ok ? 2 : 0));
    std::string word;
    bool pairs = ok && reply.find('\n') + 1 == reply.size();
    std::vector<std::pair<std::string, std::string> > kv;
    while (pairs && in >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos)
            pairs = false;
        else
            kv.emplace_back(word.substr(0, eq), word.substr(eq + 1));
    }
    if (pairs && !kv.empty()) {
        for (auto const& p : kv) {
            int64_t v = 0;
            if (p.second.compare(0, 2, "0x") != 0 && platform::parseInt64(p.second, INT64_MIN, INT64_MAX, &v))
                j.member(p.first, static_cast<long long>(v));
            else
                j.member(p.first, p.second);
        }
    } else {
        j.member("reply", reply);
    }
    j.endObject();
}

int cmdChip(std::vector<std::string>& w) {
    std::string const path = chipPath(w);
    if (w.empty()) usageError("chip needs a command ('topctl chip help' lists them)");
    std::string command;
    for (auto const& word : w) command += (command.empty() ? "" : " ") + word;
    std::string reply, error;
    if (!topdrv::sendControlCommand(path, command, &reply, &error)) fail("chip not reachable: " + error);
    if (gJson) {
        JsonWriter j;
        chipJson(j, reply);
        printJson(j);
    } else if (reply.compare(0, 2, "ok") == 0) {
        std::fputs(reply.c_str(), stdout);
    }
    if (reply.compare(0, 2, "ok") != 0) {
        std::string line = reply.substr(0, reply.find('\n'));
        fail("chip: " + (line.compare(0, 7, "error: ") == 0 ? line.substr(7) : line));
    }
    return 0;
}

// ---- live view ----

volatile sig_atomic_t gStop = 0;

void onSignal(int) { gStop = 1; }

int cmdWatch(std::vector<std::string>& w) {
    std::string countText, task = "topAdapter";
    long long count = 0;
    if (takeOption(w, "--count", &countText)) count = number(countText, 1, INT32_MAX, "count");
    takeOption(w, "-n", &task);
    noMoreWords(w, 1);
    double period = 2;
    if (!w.empty() && !platform::parseDouble(w[0], 0.05, 86400, &period)) usageError("bad period '" + w[0] + "'");
    bool const tty = isatty(STDOUT_FILENO) == 1;
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    Session s;
    for (long long n = 1; !gStop; ++n) {
        // The model may come and go while the view runs.
        s.tolerateFailedCalls();
        std::string reply, error;
        bool const chipOk = topdrv::sendControlCommand(topdrv::controlNamePath(task), "state", &reply, &error, 1000);
        time_t now = time(nullptr);
        char stamp[32];
        strftime(stamp, sizeof stamp, "%H:%M:%S", localtime(&now));
        ModelView v;
        bool const modelOk = s.modelReachable() && (v = readModel(s, true), !s.lastCallFailed());
        unsigned long active = 0;
        for (auto const& f : v.active) active += f.second.size();
        if (gJson) {
            JsonWriter j;
            j.beginObject().member("time", stamp).member("model", modelOk);
            flowsJson(j, v);
            j.key("alarms").beginObject().member("received", v.alarms.getLength()).member("batches", v.batches);
            j.member("active", active).endObject().key("chip");
            if (chipOk)
                chipJson(j, reply);
            else
                j.null();
            printJson(j.endObject());
        } else {
            if (tty) std::printf("\033[H\033[2J");
            std::printf("topctl watch: %s, every %g s\n", stamp, period);
            if (modelOk) {
                flowsTable(v, true);
                std::printf("alarms: %lu received in %lu batches, %lu active\n", v.alarms.getLength(), v.batches,
                            active);
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
        auto const end = std::chrono::steady_clock::now() + std::chrono::duration<double>(period);
        while (!gStop && std::chrono::steady_clock::now() < end)
            std::this_thread::sleep_for(std::chrono::milliseconds(20));
    }
    return 0;
}

std::vector<Command> const& commands() {
    static std::vector<Command> const all = {
        {"flows", "flows",
         "Lists the model's flows: key, unit, admin state, master address, log mean sync value\n"
         "(rate), driver up, lock, master clock state, top enable and active alarm conditions.\n"
         "The task is first asked for fresh driver information.",
         cmdFlows},
        {"set", "set KEY admin 0|1 | set KEY master A.B.C.D | set KEY rate N",
         "Changes a flow as an operator does: its administrative state (1 unlocked), its master\n"
         "address, or its log mean sync value (-128..127). The task hears of it as of any change.",
         cmdSet},
        {"create", "create KEY UNIT [ADMIN [A.B.C.D]]", "Creates a flow in the model (admin 0 locked by default).",
         cmdCreate},
        {"delete", "delete KEY", "Deletes a flow from the model.", cmdDelete},
        {"alarms", "alarms [clear | --clear]",
         "Lists the alarm changes the model received from the task, in order, and the conditions\n"
         "active now; 'clear' forgets them.",
         cmdAlarms},
        {"perf", "perf KEY [--history] [--wait SECONDS | --last]",
         "Triggers the flow's performance service (getAdapterData, counters 1..5) and prints what\n"
         "the task answered: current values and history counts; --history adds the non-zero history\n"
         "entries (0 is the latest interval). Without an answer within --wait (3 s) it says \"no data\n"
         "from the task\" and exits 0. --last: no trigger, what the model last received.",
         cmdPerf},
        {"orb", "orb [ACTOR | --self]",
         "The ORB performance counters (messages sent and failed per destination) of ACTOR (its name\n"
         "or termination id), or of every other actor; each actor clears its counters when it answers.\n"
         "--self: the display figures of topctl's own ORB and the actors on the node.",
         cmdOrb},
        {"chip", "chip [-n ACTOR | -p PID] COMMAND...",
         "Sends one command to the simulated chip of the task (ACTOR default topAdapter) through its\n"
         "control channel and prints the answer; 'topctl chip help' lists the commands.",
         cmdChip},
        {"watch", "watch [SECONDS] [--count N] [-n ACTOR]",
         "Redraws the flows, the alarm counts and the state of the task's chip every SECONDS (2)\n"
         "until interrupted, or N times.",
         cmdWatch},
    };
    return all;
}

void mainHelp() {
    std::printf("usage: topctl [--json] [--verbose] [-d NODE_DIR] COMMAND [ARGS]\n\ncommands:\n");
    for (auto const& c : commands()) std::printf("  %s\n", c.usage);
    std::printf(
        "\n'topctl COMMAND --help' tells more. --json: one JSON object on standard output (reading\n"
        "commands). --verbose: the runtime's log records on standard error. Exit status: 0 done,\n"
        "1 failed (one line on standard error), 2 wrong command line.\n");
}

}  // namespace

int main(int argc, char** argv) {
    // Before anything of the runtime runs, exit paths included.
    bool verbose = false;
    for (int i = 1; i < argc; ++i) verbose |= std::strcmp(argv[i], "--verbose") == 0;
    topctl::prepareEnvironment(verbose);
    std::vector<std::string> words;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json")
            gJson = true;
        else if (a == "--verbose")
            continue;
        else if (a == "-h" || a == "--help")
            help = true;
        else if (a == "-d" && words.empty()) {
            if (i + 1 == argc) usageError("-d needs a node directory");
            ::setenv("TOPADAPTER_NODE_DIR", argv[++i], 1);
        } else
            words.push_back(a);
    }
    if (words.empty()) {
        mainHelp();
        return help ? 0 : 2;
    }
    gSub = words[0];
    words.erase(words.begin());
    for (auto const& c : commands()) {
        if (gSub != c.name) continue;
        if (help) {
            std::printf("usage: topctl %s\n\n%s\n", c.usage, c.help);
            return 0;
        }
        return c.run(words);
    }
    std::string const unknown = gSub;
    gSub.clear();
    usageError("unknown command '" + unknown + "'");
}
