#include "ChipCommand.h"

#include <cstdio>
#include <iomanip>
#include <sstream>
#include <vector>

#include "EnvVars.h"
#include "Log.h"

namespace topdrv {
namespace {

char const kHelp[] =
    "ok commands: help | state | power-up | fw-upgrade <polls>|forever | fw-upgrade-seconds <s> |"
    " set-state <n> | startup-seconds <s> | lock-seconds <s> | lock|clock|service 0|1|auto | kill-api |"
    " fail <fn> <status> [<count>] | clear-fail | counters <sls> <norx> | freeze-counters 0|1 |"
    " sync-loss <permille> | phase <mean> <spread> | phase-samples <v>[,<v>...] | seed <n> | journal [<n>]\n";

std::vector<std::string> words(std::string const& line) {
    std::vector<std::string> out;
    std::istringstream in(line);
    std::string w;
    while (in >> w) out.push_back(w);
    return out;
}

bool u32(std::string const& text, uint32_t* out) {
    int64_t v;
    if (!platform::parseInt64(text, 0, UINT32_MAX, &v)) return false;
    *out = static_cast<uint32_t>(v);
    return true;
}

bool seconds(std::string const& text, double* out) { return platform::parseDouble(text, 0, 1e6, out); }

// 0, 1 or "auto" (-1).
bool tristate(std::string const& text, int* out) {
    if (text == "auto") {
        *out = -1;
        return true;
    }
    if (text == "0" || text == "1") {
        *out = text == "1";
        return true;
    }
    return false;
}

std::string hex(uint32_t v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08x", v);
    return buf;
}

std::string stateLine(Status const& s) {
    std::ostringstream o;
    o << "ok state=" << s.state << " fw-polls-left=" << s.fwPollsLeft << " api-dead=" << s.apiDead
      << " configured=" << s.configured << " lock=" << s.lockState << " clock=" << s.masterClockState
      << " service=" << s.masterServiceState << " own=" << hex(s.ownIp) << " netmask=" << hex(s.netmask)
      << " gateway=" << hex(s.gateway) << " master=" << hex(s.masterIp) << " log-mean-sync=" << s.logMeanSync
      << " sls=" << s.sls << " norx=" << s.noRxSync << " frozen=" << s.countersFrozen
      << " phase-samples=" << s.phaseSamples << " last-phase=" << s.lastPhaseError << "\n";
    return o.str();
}

std::string journalText(std::vector<JournalEntry> const& entries) {
    std::ostringstream o;
    o << "ok " << entries.size() << "\n";
    for (auto const& e : entries) {
        o << e.seq << " " << e.wallUs / 1000000 << "." << std::setw(6) << std::setfill('0') << e.wallUs % 1000000
          << std::setfill(' ') << " " << (e.thread.empty() ? "-" : e.thread) << " " << fnName(e.fn) << "(" << e.args
          << ") = " << e.result;
        if (!e.value.empty()) o << " -> " << e.value;
        o << "\n";
    }
    return o.str();
}

}  // namespace

std::string runCommand(Chip& chip, std::string const& line) {
    std::vector<std::string> w = words(line);
    std::string error;
    auto arity = [&](size_t min, size_t max) {
        if (w.size() - 1 < min || w.size() - 1 > max) {
            error = "wrong number of arguments for " + w[0];
            return false;
        }
        return true;
    };
    auto bad = [&](std::string const& what) {
        error = "bad " + what;
        return false;
    };

    std::string reply;
    bool ok = false;
    if (w.empty()) {
        error = "empty command";
    } else if (w[0] == "help") {
        reply = kHelp;
        ok = true;
    } else if (w[0] == "state") {
        if ((ok = arity(0, 0))) reply = stateLine(chip.status());
    } else if (w[0] == "power-up") {
        if ((ok = arity(0, 0))) chip.powerUp();
    } else if (w[0] == "fw-upgrade") {
        uint32_t polls = 0;
        ok = arity(1, 1) && (w[1] == "forever" || u32(w[1], &polls) || bad("poll count '" + w[1] + "'"));
        if (ok && w[1] != "forever" && polls == 0) ok = bad("poll count 0 (use set-state 6 to end an upgrade)");
        if (ok) chip.startFirmwareUpgrade(polls, 0);
    } else if (w[0] == "fw-upgrade-seconds") {
        double s = 0;
        ok = arity(1, 1) && ((seconds(w[1], &s) && s > 0) || bad("duration '" + w[1] + "'"));
        if (ok) chip.startFirmwareUpgrade(0, s);
    } else if (w[0] == "set-state") {
        uint32_t s = 0;
        ok = arity(1, 1) && (u32(w[1], &s) || bad("state '" + w[1] + "'"));
        if (ok) chip.setState(s);
    } else if (w[0] == "startup-seconds" || w[0] == "lock-seconds") {
        double s = 0;
        ok = arity(1, 1) && (seconds(w[1], &s) || bad("duration '" + w[1] + "'"));
        if (ok && w[0] == "startup-seconds") chip.setStartupSeconds(s);
        if (ok && w[0] == "lock-seconds") chip.setLockSeconds(s);
    } else if (w[0] == "lock" || w[0] == "clock" || w[0] == "service") {
        int v = -1;
        ok = arity(1, 1) && (tristate(w[1], &v) || bad("value '" + w[1] + "' (0, 1 or auto)"));
        if (ok && w[0] == "lock") chip.forceLock(v);
        if (ok && w[0] == "clock") chip.forceMasterClock(v);
        if (ok && w[0] == "service") chip.forceMasterService(v);
    } else if (w[0] == "kill-api") {
        if ((ok = arity(0, 0))) chip.killApi();
    } else if (w[0] == "fail") {
        Fn fn;
        int64_t status = 0, count = -1;
        ok = arity(2, 3) && (fnFromName(w[1], &fn) || bad("function '" + w[1] + "'")) &&
             (platform::parseInt64(w[2], INT32_MIN, INT32_MAX, &status) || bad("status '" + w[2] + "'")) &&
             (w.size() < 4 || platform::parseInt64(w[3], 1, INT32_MAX, &count) || bad("count '" + w[3] + "'"));
        if (ok) chip.injectFailure(fn, static_cast<int>(status), static_cast<int>(count));
    } else if (w[0] == "clear-fail") {
        if ((ok = arity(0, 0))) chip.clearFailures();
    } else if (w[0] == "counters") {
        uint32_t sls = 0, norx = 0;
        ok = arity(2, 2) && (u32(w[1], &sls) || bad("counter '" + w[1] + "'")) &&
             (u32(w[2], &norx) || bad("counter '" + w[2] + "'"));
        if (ok) chip.setCounters(sls, norx);
    } else if (w[0] == "freeze-counters") {
        int v = -1;
        ok = arity(1, 1) && ((tristate(w[1], &v) && v >= 0) || bad("value '" + w[1] + "' (0 or 1)"));
        if (ok) chip.freezeCounters(v == 1);
    } else if (w[0] == "sync-loss") {
        int64_t v = 0;
        ok = arity(1, 1) && (platform::parseInt64(w[1], 0, 1000, &v) || bad("per-mille value '" + w[1] + "'"));
        if (ok) chip.setSyncLossPerMille(static_cast<uint32_t>(v));
    } else if (w[0] == "phase") {
        double mean = 0, spread = 0;
        ok = arity(2, 2) && (platform::parseDouble(w[1], -1e9, 1e9, &mean) || bad("mean '" + w[1] + "'")) &&
             (platform::parseDouble(w[2], 0, 1e9, &spread) || bad("spread '" + w[2] + "'"));
        if (ok) chip.setPhaseError(mean, spread);
    } else if (w[0] == "phase-samples") {
        std::vector<float> samples;
        ok = arity(1, 1);
        size_t pos = 0;
        while (ok && pos <= w[1].size()) {
            size_t comma = w[1].find(',', pos);
            std::string item = w[1].substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
            double v = 0;
            if (!platform::parseDouble(item, -1e9, 1e9, &v)) ok = bad("sample '" + item + "'");
            samples.push_back(static_cast<float>(v));
            if (comma == std::string::npos) break;
            pos = comma + 1;
        }
        if (ok) chip.queuePhaseErrors(samples);
    } else if (w[0] == "seed") {
        uint64_t seed = 0;
        ok = arity(1, 1) && (platform::parseUint64(w[1], &seed) || bad("seed '" + w[1] + "'"));
        if (ok) chip.setSeed(seed);
    } else if (w[0] == "journal") {
        int64_t n = static_cast<int64_t>(Chip::kJournalCapacity);
        ok = arity(0, 1) &&
             (w.size() < 2 || platform::parseInt64(w[1], 0, INT32_MAX, &n) || bad("entry count '" + w[1] + "'"));
        if (ok) reply = journalText(chip.journal(static_cast<size_t>(n)));
    } else {
        error = "unknown command '" + w[0] + "'";
    }

    if (!ok) {
        TA_LOG(4, "topchip control: %s in '%s'", error.c_str(), line.c_str());
        return "error: " + error + "\n";
    }
    return reply.empty() ? "ok\n" : reply;
}

}  // namespace topdrv
