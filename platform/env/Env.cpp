#include "Env.h"

#include <sys/sysinfo.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <climits>
#include <cstdio>
#include <cstring>

#include "EnvVars.h"
#include "Log.h"

namespace {

std::atomic<unsigned> gMl2Calls{0};
std::atomic<unsigned> gMl2LastTask{0};

int clampKiB(uint64_t kib) { return kib > static_cast<uint64_t>(INT_MAX) ? INT_MAX : static_cast<int>(kib); }

// Value in kB of one /proc/meminfo line, or false when the line is absent.
bool meminfoKiB(char const* key, uint64_t* out) {
    FILE* f = std::fopen("/proc/meminfo", "r");
    if (!f) return false;
    char line[256];
    size_t keyLen = std::strlen(key);
    bool found = false;
    while (std::fgets(line, sizeof line, f)) {
        if (std::strncmp(line, key, keyLen) == 0 && line[keyLen] == ':') {
            unsigned long long v = 0;
            if (std::sscanf(line + keyLen + 1, "%llu", &v) == 1) {
                *out = v;
                found = true;
            }
            break;
        }
    }
    std::fclose(f);
    return found;
}

}  // namespace

extern "C" int envInfoTimingOverPacketSupported(void) {
    return static_cast<int>(platform::envInt64("TOPADAPTER_TOP_SUPPORTED", 1, 0, 1));
}

extern "C" int ml2DrvCif_init(unsigned short taskId) {
    gMl2Calls.fetch_add(1);
    gMl2LastTask.store(taskId);
    if (taskId == 0) {
        TA_LOG(4, "ml2DrvCif_init refused: task id 0 is not a task of the task manager");
        return -1;
    }
    int status = static_cast<int>(platform::envInt64("TOPADAPTER_ML2DRVCIF_FAIL", 0, INT_MIN, INT_MAX));
    if (status != 0) TA_LOG(4, "ml2DrvCif_init(taskId=%u): failing with status %d as configured", taskId, status);
    return status;
}

extern "C" int oscwGetActorSize(void) {
    FILE* f = std::fopen("/proc/self/statm", "r");
    if (!f) {
        TA_LOG(4, "oscwGetActorSize: /proc/self/statm cannot be opened: %s", std::strerror(errno));
        return -1;
    }
    unsigned long long size = 0, resident = 0;
    int n = std::fscanf(f, "%llu %llu", &size, &resident);
    std::fclose(f);
    long page = ::sysconf(_SC_PAGESIZE);
    if (n != 2 || page <= 0) {
        TA_LOG(4, "oscwGetActorSize: /proc/self/statm has no resident size");
        return -1;
    }
    return clampKiB(static_cast<uint64_t>(resident) * static_cast<uint64_t>(page) / 1024u);
}

extern "C" int oscwGetUnitFreeMem(void) {
    uint64_t kib = 0;
    if (meminfoKiB("MemAvailable", &kib) || meminfoKiB("MemFree", &kib)) return clampKiB(kib);
    struct sysinfo si;
    if (::sysinfo(&si) != 0) {
        TA_LOG(4, "oscwGetUnitFreeMem: neither /proc/meminfo nor sysinfo is available: %s", std::strerror(errno));
        return -1;
    }
    uint64_t unit = si.mem_unit ? si.mem_unit : 1;
    return clampKiB(static_cast<uint64_t>(si.freeram) * unit / 1024u);
}

namespace cardenv {

unsigned ml2DrvCifInitCalls() { return gMl2Calls.load(); }
unsigned short ml2DrvCifLastTaskId() { return static_cast<unsigned short>(gMl2LastTask.load()); }
void resetMl2DrvCif() {
    gMl2Calls.store(0);
    gMl2LastTask.store(0);
}

}  // namespace cardenv
