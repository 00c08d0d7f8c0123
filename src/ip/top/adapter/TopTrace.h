// Trace sites of the ToP adapter task. The trace set "topAdapter" is
// registered lazily by the first site that finds it unregistered (-1), and
// again at every later site for as long as registration keeps failing.
#pragma once

#include "Trace.h"

extern short topAdapterTaskTraceSetId;

// Registers the set; prints "Error from initTraceSet for cpp!" on failure.
void topAdapterTaskTraceSetRegister();

#define TOP_TRACE_AT(set, mask, level, ...)                                             \
    do {                                                                                \
        if (topAdapterTaskTraceSetId == -1) topAdapterTaskTraceSetRegister();           \
        tracePrintf((set), (mask), (level), __FILE__, __LINE__, __VA_ARGS__);           \
    } while (0)

// Ordinary trace.
#define TOP_TRACE(...) TOP_TRACE_AT(topAdapterTaskTraceSetId, 32, 256, __VA_ARGS__)
// Notable state change.
#define TOP_TRACE_STATE(...) TOP_TRACE_AT(topAdapterTaskTraceSetId, 8, 256, __VA_ARGS__)
// Error trace.
#define TOP_TRACE_ERROR(...) TOP_TRACE_AT(255, 128, 0x20000000, __VA_ARGS__)
