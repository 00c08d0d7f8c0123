// Commands on the node's actors: their ORB counters, and the task's chip
// through its control channel.
#include <cstdio>
#include <map>
#include <memory>
#include <sstream>

#include "ChipControl.h"
#include "Commands.h"
#include "Diag.h"
#include "EnvVars.h"
#include "REFLECT_orb.h"

namespace topctl {

// `names`: the actors on the node by termination id; a destination not among them has gone.
namespace {

void countersOut(JsonWriter* j, Transport::TerminationId peer, TreflectORB::PerfCntInfo const& info,
                 std::map<unsigned long, std::string> const& names) {
    auto nameOf = [&](Transport::TerminationId t) {
        auto it = names.find(t.value());
        return it == names.end() ? std::string("gone") : it->second;
    };
    TreflectORB& orb = *TreflectORB::getInstance(NSID_UNIT);
    if (j) {
        j->beginObject().member("actor", info.actor).member("termId", hex32(peer.value())).member("answered", true);
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
    if (options().json) {
        JsonWriter j = jsonDocument();
        j.key("display").beginArray();
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

}  // namespace

Exit cmdOrb(Words& w) {
    bool const self = takeFlag(w, "--self");
    noMoreWords(w, 1);
    Session s;
    if (self) {
        if (!w.empty()) usageError("--self takes no actor");
        orbSelf(s);
        return kDone;
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
    JsonWriter j = jsonDocument();
    if (options().json) j.key("peers").beginArray();
    for (auto const& g : got) {
        if (!g.second.actor.empty()) {
            countersOut(options().json ? &j : nullptr, g.first, g.second, names);
        } else if (options().json) {
            auto n = names.find(g.first.value());
            j.beginObject().member("actor", n == names.end() ? std::string("?") : n->second);
            j.member("termId", hex32(g.first.value())).member("answered", false).endObject();
        } else {
            std::printf("(termination %s did not answer)\n", hex32(g.first.value()).c_str());
        }
    }
    if (options().json)
        printJson(j.endArray().endObject());
    else if (got.empty())
        std::printf("no other actor on the node\n");
    return kDone;
}


namespace {

std::string chipPath(Words& w) {
    std::string pid, actor;
    bool const byPid = takeOption(w, "-p", &pid);
    bool const byName = takeOption(w, "-n", &actor) || takeOption(w, "--actor", &actor);
    if (byPid && byName) usageError("-n and -p exclude each other");
    if (byPid) return topdrv::controlSocketPath(static_cast<long>(number(pid, 1, INT32_MAX, "process id")));
    return topdrv::controlNamePath(byName ? actor : "topAdapter");
}

}  // namespace

void chipJson(JsonWriter& j, std::string const& reply) {
    j.beginObject();
    chipMembers(j, reply);
    j.endObject();
}

void chipMembers(JsonWriter& j, std::string const& reply) {
    bool const ok = reply.compare(0, 2, "ok") == 0;
    j.member("ok", ok);
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
}

Exit cmdChip(Words& w) {
    std::string const path = chipPath(w);
    if (w.empty()) usageError("chip needs a command ('topctl chip help' lists them)");
    std::string command;
    for (auto const& word : w) command += (command.empty() ? "" : " ") + word;
    std::string reply, error;
    if (!topdrv::sendControlCommand(path, command, &reply, &error)) fail("chip not reachable: " + error);
    if (options().json) {
        JsonWriter j = jsonDocument();
        chipMembers(j, reply);
        printJson(j.endObject());
    } else if (reply.compare(0, 2, "ok") == 0) {
        std::fputs(reply.c_str(), stdout);
    }
    if (reply.compare(0, 2, "ok") != 0) {
        std::string line = reply.substr(0, reply.find('\n'));
        fail("chip: " + (line.compare(0, 7, "error: ") == 0 ? line.substr(7) : line));
    }
    return kDone;
}

}  // namespace topctl
