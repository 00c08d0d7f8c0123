#include "Cli.h"

#include <time.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <sstream>

#include "EnvVars.h"
#include "TopAdapterStatusClient.h"
#include "TopFlowClient.h"
#include "topDrvAdapIf.h"

namespace topctl {

Options& options() {
    static Options o;
    return o;
}

char const* exitName(Exit status) {
    switch (status) {
    case kDone:
        return "done";
    case kFailed:
        return "failed";
    case kUsage:
        return "usage";
    case kNotYet:
        return "not-yet";
    }
    return "unknown";
}

void usageError(std::string const& message) {
    std::string const& sub = options().command;
    exitWith(kUsage, message + " (see 'topctl " + (sub.empty() ? "" : sub + " ") + "--help')");
}

void fail(std::string const& message) { exitWith(kFailed, message); }

bool takeFlag(std::vector<std::string>& words, char const* flag) {
    for (auto it = words.begin(); it != words.end(); ++it)
        if (*it == flag) {
            words.erase(it);
            return true;
        }
    return false;
}

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

double seconds(std::string const& text, double min, double max, char const* what) {
    double v = 0;
    if (!platform::parseDouble(text, min, max, &v)) usageError(std::string("bad ") + what + " '" + text + "'");
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
    bool ok = !text.empty();
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

std::string dotted(unsigned long v) {
    char buf[32];
    std::snprintf(buf, sizeof buf, "%lu.%lu.%lu.%lu", (v >> 24) & 255, (v >> 16) & 255, (v >> 8) & 255, v & 255);
    return buf;
}

std::string hex32(unsigned long v) {
    char buf[16];
    std::snprintf(buf, sizeof buf, "0x%08lX", v & 0xFFFFFFFFul);
    return buf;
}

typedef TopAdapterStatusClient Status;

long const kConditions[2] = {Status::CONDITION_SYNC_SOURCE_LOST, Status::CONDITION_MASTER_SERVICE_UNAVAILABLE};

long adminState(std::string const& text) {
    if (text == "unlocked") return 1;
    if (text == "locked") return 0;
    if (text == "0" || text == "1") return text == "1";
    usageError("bad administrative state '" + text + "' (locked or unlocked, 0 or 1)");
}

char const* adminName(long state) { return state == 1 ? "unlocked" : "locked"; }

namespace {

struct Named {
    long value;
    char const* name;
};

template <size_t N>
char const* nameIn(Named const (&table)[N], long value, char const* otherwise) {
    for (Named const& n : table)
        if (n.value == value) return n.name;
    return otherwise;
}

}  // namespace

char const* conditionName(long c) {
    static Named const names[] = {{Status::CONDITION_SYNC_SOURCE_LOST, "sync-source-lost"},
                                  {Status::CONDITION_MASTER_SERVICE_UNAVAILABLE, "master-service-unavailable"}};
    return nameIn(names, c, "unknown");
}

char const* adapterStateName(long state, unsigned long masterIp) {
    static Named const names[] = {{Status::STATE_DISABLED, "disabled"},
                                  {Status::STATE_STARTING, "starting"},
                                  {Status::STATE_RUNNING, "running"}};
    if (state == Status::STATE_ENABLED) return masterIp == 0 ? "waiting-for-master" : "config-failed";
    return nameIn(names, state, "unknown");
}

char const* phaseName(long phase) {
    static Named const names[] = {{Status::PHASE_NEW, "new"},
                                  {Status::PHASE_PENDING, "pending"},
                                  {Status::PHASE_SENT, "sent"},
                                  {Status::PHASE_WITHDRAWING, "withdrawing"}};
    return nameIn(names, phase, "unknown");
}

char const* lockStateName(long state) {
    static Named const names[] = {{TopFlowClient::MASTER_STATE_LOCKED, "locked"},
                                  {TopFlowClient::MASTER_STATE_UNLOCKED, "unlocked"}};
    return nameIn(names, state, "unknown");
}

char const* clockStateName(long state) {
    static Named const names[] = {{TopFlowClient::MASTER_CLOCK_GOOD, "good"},
                                  {TopFlowClient::MASTER_CLOCK_UNKNOWN, "unknown"},
                                  {TopFlowClient::MASTER_CLOCK_BAD, "bad"},
                                  {TopFlowClient::MASTER_CLOCK_NO_SERVICE, "no-service"}};
    return nameIn(names, state, "?");
}

char const* driverStateName(long state) {
    static Named const names[] = {{TOP_DRV_RUNNING, "running"},
                                  {TOP_FW_UPGRADING, "firmware-upgrade"},
                                  {TOP_DRV_STARTING, "starting"},
                                  {TOP_DRV_NOT_STARTED, "not-started"}};
    return nameIn(names, state, "unknown");
}

char const* apiStateName(long state) {
    static Named const names[] = {{Status::API_ALIVE, "alive"}, {Status::API_DEAD, "dead"}};
    return nameIn(names, state, "unknown");
}

bool lockedToMaster(long masterLockState) { return masterLockState == TopFlowClient::MASTER_STATE_LOCKED; }

Counter const& counter(unsigned long ident) {
    static Counter const unknown{0, "?", "", false};
    static Counter const all[] = {{Status::PM_IDENT_SLS, "sls", "s", false},
                                  {TopFlowClient::PM_IDENT_MIN_PHASE_ERROR, "min-phase-error", "ns", true},
                                  {TopFlowClient::PM_IDENT_AVG_PHASE_ERROR, "avg-phase-error", "ns", true},
                                  {TopFlowClient::PM_IDENT_MAX_PHASE_ERROR, "max-phase-error", "ns", true},
                                  {Status::PM_IDENT_NO_RX_SYNC, "no-rx-sync", "", false}};
    for (Counter const& c : all)
        if (c.ident == ident) return c;
    return unknown;
}

std::vector<unsigned long> counterIdents() {
    return {static_cast<unsigned long>(Status::PM_IDENT_SLS), TopFlowClient::PM_IDENT_MIN_PHASE_ERROR,
            TopFlowClient::PM_IDENT_AVG_PHASE_ERROR, TopFlowClient::PM_IDENT_MAX_PHASE_ERROR,
            static_cast<unsigned long>(Status::PM_IDENT_NO_RX_SYNC)};
}

long long counterValue(unsigned long ident, unsigned long raw) {
    uint32_t const v = static_cast<uint32_t>(raw);
    return counter(ident).isSigned ? static_cast<long long>(static_cast<int32_t>(v)) : static_cast<long long>(v);
}

std::string withUnit(unsigned long ident, unsigned long raw) {
    std::string s = std::to_string(counterValue(ident, raw));
    char const* unit = counter(ident).unit;
    return *unit ? s + " " + unit : s;
}

std::string rfc3339(int64_t sec, unsigned ms) {
    time_t t = static_cast<time_t>(sec);
    struct tm local;
    localtime_r(&t, &local);
    char date[40], zone[8];
    strftime(date, sizeof date, "%Y-%m-%dT%H:%M:%S", &local);
    strftime(zone, sizeof zone, "%z", &local);
    char out[64];
    std::snprintf(out, sizeof out, "%s.%03u%.3s:%.2s", date, ms % 1000, zone, zone + 3);
    return out;
}

void wallClock(int64_t* sec, unsigned* ms) {
    auto const now = std::chrono::duration_cast<std::chrono::milliseconds>(
                         std::chrono::system_clock::now().time_since_epoch())
                         .count();
    *sec = now / 1000;
    *ms = static_cast<unsigned>(now % 1000);
}

std::string age(double s) {
    long long const t = s < 0 ? 0 : static_cast<long long>(s);
    char buf[48];
    if (t < 60)
        std::snprintf(buf, sizeof buf, "%lld s", t);
    else if (t < 3600)
        std::snprintf(buf, sizeof buf, "%lld min %lld s", t / 60, t % 60);
    else if (t < 86400)
        std::snprintf(buf, sizeof buf, "%lld h %lld min", t / 3600, t / 60 % 60);
    else
        std::snprintf(buf, sizeof buf, "%lld d %lld h", t / 86400, t / 3600 % 24);
    return buf;
}

JsonWriter jsonDocument() {
    JsonWriter j;
    j.beginObject().member("schema", options().schema);
    return j;
}

void printJson(JsonWriter const& j) { std::printf("%s\n", j.text().c_str()); }

}  // namespace topctl
