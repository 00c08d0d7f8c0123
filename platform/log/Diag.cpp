#include "Diag.h"

#include <sys/syscall.h>
#include <sys/time.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <memory>
#include <mutex>

namespace diag {
namespace {

struct Output {
    std::mutex mutex;
    FILE* out = stderr;
    bool quiet = false;
    Output() {
        char const* q = std::getenv("TOPADAPTER_QUIET");
        quiet = q && *q && std::strcmp(q, "0") != 0;
        if (char const* path = std::getenv("TOPADAPTER_LOG_FILE")) {
            if (*path) {
                if (FILE* f = std::fopen(path, "a")) {
                    setvbuf(f, nullptr, _IOLBF, 0);
                    out = f;
                }
            }
        }
    }
};

Output& output() {
    static Output* o = new Output;  // never destroyed: records may come from exit paths
    return *o;
}

std::mutex& sinkMutex() {
    static std::mutex* m = new std::mutex;
    return *m;
}
std::shared_ptr<Sink>& sinkSlot() {
    static std::shared_ptr<Sink>* s = new std::shared_ptr<Sink>;
    return *s;
}

void print(Record const& r) {
    Output& o = output();
    if (o.quiet) return;
    timeval tv;
    gettimeofday(&tv, nullptr);
    struct tm tmv;
    gmtime_r(&tv.tv_sec, &tmv);
    char stamp[32];
    std::strftime(stamp, sizeof stamp, "%H:%M:%S", &tmv);
    std::string text = r.text;
    while (!text.empty() && (text.back() == '\n' || text.back() == '\r')) text.pop_back();
    std::lock_guard<std::mutex> lock(o.mutex);
    if (r.kind == Record::Log)
        std::fprintf(o.out, "%s.%06ld %lu LOG%d %s:%d %s\n", stamp, static_cast<long>(tv.tv_usec),
                     r.thread, r.severity, r.file.c_str(), r.line, text.c_str());
    else
        std::fprintf(o.out, "%s.%06ld %lu TRC%d/%u/%#x %s:%d %s\n", stamp, static_cast<long>(tv.tv_usec),
                     r.thread, r.set, r.mask, r.level, r.file.c_str(), r.line, text.c_str());
}

}  // namespace

bool Record::isError() const {
    if (kind == Log) return severity <= 3;
    return set == 255 || (mask & 128u) != 0;
}

void setCaptureSink(Sink sink) {
    std::shared_ptr<Sink> s = sink ? std::make_shared<Sink>(std::move(sink)) : nullptr;
    std::lock_guard<std::mutex> lock(sinkMutex());
    sinkSlot() = std::move(s);
}

void emit(Record rec, bool printIt) {
    std::shared_ptr<Sink> s;
    {
        std::lock_guard<std::mutex> lock(sinkMutex());
        s = sinkSlot();
    }
    if (s) (*s)(rec);
    if (printIt) print(rec);
}

std::string vformat(char const* format, va_list ap) {
    char buf[1024];
    int n = std::vsnprintf(buf, sizeof buf, format, ap);
    if (n < 0) n = 0;
    if (static_cast<size_t>(n) >= sizeof buf) n = sizeof buf - 1;
    return std::string(buf, static_cast<size_t>(n));
}

char const* baseName(char const* path) {
    if (!path) return "";
    char const* slash = std::strrchr(path, '/');
    return slash ? slash + 1 : path;
}

unsigned long currentThreadId() {
    return static_cast<unsigned long>(::syscall(SYS_gettid));
}

}  // namespace diag
