// Settings of the platform stand-ins read from the environment. A variable
// that is set but malformed or out of range is reported with a warning that
// names it, and the default is used: a typo must not pass silently, nor stop
// the process.
#pragma once

#include <stdint.h>

#include <string>

namespace platform {

// Strict parsers: the whole text must be the number. Integers in decimal or
// 0x-hex, optionally negative.
bool parseInt64(std::string const& text, int64_t min, int64_t max, int64_t* out);
bool parseUint64(std::string const& text, uint64_t* out);
bool parseDouble(std::string const& text, double min, double max, double* out);

// True when the variable is set and not empty.
bool envIsSet(char const* name);
std::string envString(char const* name, std::string const& def);
int64_t envInt64(char const* name, int64_t def, int64_t min, int64_t max);
uint64_t envUint64(char const* name, uint64_t def);
double envDouble(char const* name, double def, double min, double max);

}  // namespace platform
