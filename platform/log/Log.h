// Logging library stand-in. A record is made in two steps, as on the card:
// LogMakeString formats the text into a per-thread buffer, LogDispatch emits
// it with a severity and the caller's source position.
// Severities: 0 fatal path before the process ends itself, 2 and 3 errors,
// 4 warnings, 5 information, 6 alarm detections.
#pragma once

void LogMakeString(char const* format, ...) __attribute__((format(printf, 1, 2)));
void LogDispatch(int severity, int line, char const* file);

// One log record from a source position.
#define TA_LOG(severity, ...)                      \
    do {                                           \
        LogMakeString(__VA_ARGS__);                \
        LogDispatch((severity), __LINE__, __FILE__); \
    } while (0)
