// Common record path of the trace and log stand-ins: one line per record to
// standard error or a file, and an optional capture sink for tests.
//
// Environment:
//   TOPADAPTER_LOG_FILE      write records to this file (appended) instead of stderr
//   TOPADAPTER_LOG_SEVERITY  print log records up to this severity (default 6: all)
//   TOPADAPTER_QUIET=1       print nothing (the capture sink still sees everything)
#pragma once

#include <cstdarg>
#include <functional>
#include <string>

namespace diag {

struct Record {
    enum Kind { Log, Trace } kind = Log;
    int severity = 0;          // log records
    int set = 0;               // trace records: trace set id
    unsigned mask = 0;         // trace records
    unsigned level = 0;        // trace records
    unsigned long thread = 0;  // kernel thread id of the emitter
    std::string file;          // base name
    int line = 0;
    std::string text;          // without trailing newline

    // Errors: log severity 3 or worse, or a trace of the error set/mask.
    bool isError() const;
};

using Sink = std::function<void(Record const&)>;

// Replaces the capture sink (empty function removes it). The sink runs on the
// emitting thread, outside any lock of this module.
void setCaptureSink(Sink sink);

// Hands one record to the capture sink and, when `print`, to the output.
void emit(Record rec, bool print);

// printf-style text, cut at 1023 characters as the card's libraries do.
std::string vformat(char const* format, va_list ap);

// Base name of a source path.
char const* baseName(char const* path);

unsigned long currentThreadId();

}  // namespace diag
