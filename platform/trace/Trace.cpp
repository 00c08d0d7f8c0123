#include "Trace.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <string>
#include <vector>

#include "Diag.h"

namespace {

struct TraceSet {
    std::string name;
    unsigned mask;
    unsigned levels;
};

struct Registry {
    std::mutex mutex;
    std::vector<TraceSet> sets;  // index = id
    bool overrideMask = false;
    unsigned mask = 0;
    Registry() {
        sets.push_back({"", 0, 0});  // id 0 unused
        if (char const* m = std::getenv("TOPADAPTER_TRACE_MASK")) {
            if (*m) {
                overrideMask = true;
                mask = static_cast<unsigned>(std::strtoul(m, nullptr, 0));
            }
        }
    }
};

Registry& registry() {
    static Registry* r = new Registry;
    return *r;
}

bool printable(short set, unsigned mask, unsigned level) {
    if (set == kErrorTraceSet) return true;
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    if (set <= 0 || static_cast<size_t>(set) >= r.sets.size()) return false;
    TraceSet const& s = r.sets[static_cast<size_t>(set)];
    unsigned m = r.overrideMask ? r.mask : s.mask;
    return (mask & m) != 0 && (r.overrideMask || (level & s.levels) != 0);
}

void emitTrace(short set, unsigned mask, unsigned level, char const* file, int line, std::string text) {
    diag::Record rec;
    rec.kind = diag::Record::Trace;
    rec.set = set;
    rec.mask = mask;
    rec.level = level;
    rec.thread = diag::currentThreadId();
    rec.file = diag::baseName(file);
    rec.line = line;
    rec.text = std::move(text);
    diag::emit(std::move(rec), printable(set, mask, level));
}

short registerAfw() {
    short id = -1;
    initTraceSet("afw", 0, 1000, 8, 511, &id);
    return id;
}

}  // namespace

short gTraceAfw = registerAfw();

int initTraceSet(char const* name, int, int, unsigned mask, unsigned levels, short* id) {
    if (!name || !id) return -1;
    if (char const* fail = std::getenv("TOPADAPTER_TRACE_INIT_FAIL")) {
        if (std::strcmp(fail, name) == 0) return -2;
    }
    Registry& r = registry();
    std::lock_guard<std::mutex> lock(r.mutex);
    for (size_t i = 1; i < r.sets.size(); ++i) {
        if (r.sets[i].name == name) {
            *id = static_cast<short>(i);
            return 0;
        }
    }
    if (r.sets.size() >= static_cast<size_t>(kErrorTraceSet)) return -3;
    r.sets.push_back({name, mask, levels});
    *id = static_cast<short>(r.sets.size() - 1);
    return 0;
}

void tracePrintf(short set, unsigned mask, unsigned level, char const* file, int line, char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    std::string text = diag::vformat(format, ap);
    va_end(ap);
    emitTrace(set, mask, level, file, line, std::move(text));
}

int addTraceEntry(short set, int, unsigned mask, unsigned level, char const* tag, int a, int b, char const* text) {
    char buf[1024];
    std::snprintf(buf, sizeof buf, "%s %d %d %s", tag ? tag : "", a, b, text ? text : "");
    emitTrace(set, mask, level, "", 0, buf);
    return 0;
}
