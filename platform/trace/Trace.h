// Trace library stand-in: named trace sets with a mask and a level filter.
// A record is printed when (mask & set mask) and (level & set levels) are both
// non-zero; set 255 is the error set and is always printed. Every record
// reaches the capture sink regardless of the filter.
//
// Environment:
//   TOPADAPTER_TRACE_MASK       overrides the mask of every set (e.g. 0xffffffff)
//   TOPADAPTER_TRACE_INIT_FAIL  initTraceSet of a set with this name fails
#pragma once

// Registers a trace set; writes its id to *id and returns 0, or returns
// non-zero and leaves *id alone. Registering a name twice yields the same id.
int initTraceSet(char const* name, int flags, int entries, unsigned mask, unsigned levels, short* id);

void tracePrintf(short set, unsigned mask, unsigned level, char const* file, int line, char const* format, ...)
    __attribute__((format(printf, 6, 7)));

// Short structured entry: tag, two integers and a text (e.g. one backtrace frame).
int addTraceEntry(short set, int flags, unsigned mask, unsigned level, char const* tag, int a, int b,
                  char const* text);

// Trace set of the application framework (registered by the library itself).
extern short gTraceAfw;

constexpr short kErrorTraceSet = 255;
