// The command line's vocabulary, shared by every command: options, numbers,
// addresses, the names of states, conditions and counters, units and times.
#pragma once

#include <stdint.h>

#include <string>
#include <vector>

#include "IPPRMI_stream.h"
#include "Json.h"

namespace topctl {

// Exit statuses, as topctl(1) documents them.
enum Exit : int { kDone = 0, kFailed = 1, kUsage = 2, kNotYet = 3 };
char const* exitName(Exit status);

// Options that every command takes, wherever they stand on the line.
struct Options {
    bool json = false;
    bool verbose = false;
    bool timing = false;  // call count and time on standard error at the end
    std::string command;  // for usage messages
    unsigned schema = 0;  // version of the command's JSON schema
};
Options& options();

// The one way out of topctl: leaves the node if a session is open and the
// node is still there, writes `message` (if any) as one line
// "topctl: MESSAGE" on standard error and, with --json, as an error object
// on standard output, and ends the process with `status`.
[[noreturn]] void exitWith(Exit status, std::string const& message);
// exitWith(kUsage, "MESSAGE (see 'topctl COMMAND --help')").
[[noreturn]] void usageError(std::string const& message);
// exitWith(kFailed, message).
[[noreturn]] void fail(std::string const& message);
// Version of the error objects' schema.
constexpr unsigned kErrorSchema = 1;

// Takes `flag` out of `words`; whether it was there.
bool takeFlag(std::vector<std::string>& words, char const* flag);
// Takes `option VALUE` out of `words`.
bool takeOption(std::vector<std::string>& words, char const* option, std::string* value);
void noMoreWords(std::vector<std::string> const& words, size_t count);
long long number(std::string const& text, long long min, long long max, char const* what);
double seconds(std::string const& text, double min, double max, char const* what);
unsigned long flowKey(std::string const& text);
TipprmiArray<short, 4> address(std::string const& text);
std::string dotted(TipprmiArray<short, 4> const& a);
std::string dotted(unsigned long hostOrder);
std::string hex32(unsigned long v);

// The administrative state: "locked"/"unlocked" or 0/1 in, the words out.
long adminState(std::string const& text);
char const* adminName(long state);

// The two alarm conditions, by their constants.
extern long const kConditions[2];
char const* conditionName(long condition);
// The adapter's state as an operator reads it: the flow's state with its
// master address (state 1 without one waits for it, with one it failed).
char const* adapterStateName(long state, unsigned long masterIp);
char const* phaseName(long phase);
// The driver information's master lock and master clock states.
char const* lockStateName(long state);
char const* clockStateName(long state);
// The chip driver's state: "running", "not-started", ...
char const* driverStateName(long state);
char const* apiStateName(long state);
// Whether the driver information says locked to the master.
bool lockedToMaster(long masterLockState);

// The performance counters 1..5: name, unit ("" for a count), whether signed.
struct Counter {
    unsigned long ident;
    char const* name;
    char const* unit;
    bool isSigned;
};
Counter const& counter(unsigned long ident);
// The identifiers of the five counters, in the order they are shown.
std::vector<unsigned long> counterIdents();
// A counter's value as the task sends it (32 bits), read with its sign.
long long counterValue(unsigned long ident, unsigned long raw);
// "-12 ns", "3 s", "7".
std::string withUnit(unsigned long ident, unsigned long raw);

// RFC 3339 in local time with its offset: 2024-05-01T12:00:00.123+02:00.
std::string rfc3339(int64_t sec, unsigned ms);
// Wall clock now: seconds and milliseconds.
void wallClock(int64_t* sec, unsigned* ms);
// "12 s", "3 min 4 s", "2 h 1 min", "1 d 3 h".
std::string age(double seconds);

// A JSON document of the running command: an object begun with its "schema".
JsonWriter jsonDocument();
void printJson(JsonWriter const& j);

}  // namespace topctl
