// Names of the driver functions, injected failures and the power-up settings
// of the simulated chip.
#include <strings.h>

#include "ChipHelpers.h"
#include "EnvVars.h"
#include "Log.h"

namespace topdrv {

using namespace detail;

namespace {

char const* const kFnNames[kFnCount] = {
    "topDrvAdapIf_init",
    "topDrvAdapIf_deinit",
    "topDrvAdapIf_getStateInfo",
    "topDrvAdapIf_getApiState",
    "topDrvAdapIf_getLockState",
    "topDrvAdapIf_getMasterClockState",
    "topDrvAdapIf_getMasterServiceState",
    "topDrvAdapIf_setMasterIp",
    "topDrvAdapIf_setMessageRate",
    "topDrvAdapIf_getPhaseError",
    "topDrvAdapIf_getSLS",
    "topDrvAdapIf_getNoRxSyncMsg",
};
char const kPrefix[] = "topDrvAdapIf_";

}  // namespace

char const* fnName(Fn fn) { return idx(fn) < kFnCount ? kFnNames[idx(fn)] : "topDrvAdapIf_?"; }

bool fnFromName(std::string const& name, Fn* fn) {
    std::string shortName = name;
    if (shortName.compare(0, sizeof kPrefix - 1, kPrefix) == 0) shortName = shortName.substr(sizeof kPrefix - 1);
    for (unsigned i = 0; i < kFnCount; ++i) {
        if (strcasecmp(shortName.c_str(), kFnNames[i] + sizeof kPrefix - 1) == 0) {
            *fn = static_cast<Fn>(i);
            return true;
        }
    }
    return false;
}

bool parseFailures(std::string const& text, Failure (&out)[kFnCount], std::string* error) {
    Failure parsed[kFnCount];
    std::copy(std::begin(out), std::end(out), std::begin(parsed));
    size_t pos = 0;
    while (pos < text.size()) {
        size_t comma = text.find(',', pos);
        std::string item = text.substr(pos, comma == std::string::npos ? std::string::npos : comma - pos);
        pos = comma == std::string::npos ? text.size() : comma + 1;
        if (item.empty()) continue;
        std::vector<std::string> parts;
        size_t p = 0;
        for (;;) {
            size_t colon = item.find(':', p);
            parts.push_back(item.substr(p, colon == std::string::npos ? std::string::npos : colon - p));
            if (colon == std::string::npos) break;
            p = colon + 1;
        }
        Fn fn;
        int64_t status = 0, count = -1;
        if (parts.size() < 2 || parts.size() > 3) {
            *error = "'" + item + "' is not <function>:<status>[:<count>]";
            return false;
        }
        if (!fnFromName(parts[0], &fn)) {
            *error = "'" + parts[0] + "' is not a driver function";
            return false;
        }
        if (!platform::parseInt64(parts[1], INT32_MIN, INT32_MAX, &status) || status == 0) {
            *error = "'" + parts[1] + "' is not a non-zero status";
            return false;
        }
        if (parts.size() == 3 && !platform::parseInt64(parts[2], 1, INT32_MAX, &count)) {
            *error = "'" + parts[2] + "' is not a positive count";
            return false;
        }
        parsed[idx(fn)].status = static_cast<int>(status);
        parsed[idx(fn)].remaining = static_cast<int>(count);
    }
    std::copy(std::begin(parsed), std::end(parsed), std::begin(out));
    return true;
}

uint64_t SplitMix64::next() {
    uint64_t z = (state_ += 0x9E3779B97F4A7C15ull);
    z = (z ^ (z >> 30)) * 0xBF58476D1CE4E5B9ull;
    z = (z ^ (z >> 27)) * 0x94D049BB133111EBull;
    return z ^ (z >> 31);
}

Config Config::fromEnvironment() {
    using namespace platform;
    Config c;
    c.fwUpgradePolls = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", c.fwUpgradePolls, 0,
                                                      UINT32_MAX));
    c.fwUpgradeSeconds = envDouble("TOPADAPTER_TOPDRV_FW_UPGRADE_SECONDS", c.fwUpgradeSeconds, 0, kMaxSeconds);
    c.startupSeconds = envDouble("TOPADAPTER_TOPDRV_STARTUP_SECONDS", c.startupSeconds, 0, kMaxSeconds);
    c.lockSeconds = envDouble("TOPADAPTER_TOPDRV_LOCK_SECONDS", c.lockSeconds, 0, kMaxSeconds);
    c.seed = envUint64("TOPADAPTER_TOPDRV_SEED", c.seed);
    c.phaseMean = envDouble("TOPADAPTER_TOPDRV_PHASE_MEAN", c.phaseMean, -1e9, 1e9);
    c.phaseSpread = envDouble("TOPADAPTER_TOPDRV_PHASE_SPREAD", c.phaseSpread, 0, 1e9);
    c.syncLossPerMille =
        static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_SYNC_LOSS_PERMILLE", c.syncLossPerMille, 0, 1000));
    c.slsStart = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_SLS_START", c.slsStart, 0, UINT32_MAX));
    c.noRxStart = static_cast<uint32_t>(envInt64("TOPADAPTER_TOPDRV_NORX_START", c.noRxStart, 0, UINT32_MAX));
    std::string fail = envString("TOPADAPTER_TOPDRV_FAIL", "");
    std::string error;
    if (!fail.empty() && !parseFailures(fail, c.failures, &error))
        TA_LOG(4, "TOPADAPTER_TOPDRV_FAIL=%s ignored: %s", fail.c_str(), error.c_str());
    return c;
}

}  // namespace topdrv
