#include "Log.h"

#include <cstdarg>
#include <cstdio>
#include <cstdlib>
#include <string>

#include "Diag.h"

namespace {
thread_local std::string tlsText;

int maxSeverity() {
    static int const value = [] {
        char const* s = std::getenv("TOPADAPTER_LOG_SEVERITY");
        return (s && *s) ? std::atoi(s) : 6;
    }();
    return value;
}
}  // namespace

void LogMakeString(char const* format, ...) {
    va_list ap;
    va_start(ap, format);
    tlsText = diag::vformat(format, ap);
    va_end(ap);
}

void LogDispatch(int severity, int line, char const* file) {
    diag::Record r;
    r.kind = diag::Record::Log;
    r.severity = severity;
    r.thread = diag::currentThreadId();
    r.file = diag::baseName(file);
    r.line = line;
    r.text.swap(tlsText);
    diag::emit(std::move(r), severity <= maxSeverity());
}
