// Text commands that control the simulated chip from outside the process
// (through the control channel, ChipControl.h, and the topchip tool).
//
// One command per line, words separated by blanks. The answer starts with
// "ok" (followed by the requested data) or "error: <reason>"; every answer
// ends with a newline.
//
//   help                          lists the commands
//   state                         ok state=<n> fw-polls-left=<n> api-dead=<0|1> configured=<0|1>
//                                    lock=<0|1> clock=<0|1> service=<0|1> own=<ip> netmask=<ip>
//                                    gateway=<ip> master=<ip> log-mean-sync=<n> sls=<n> norx=<n>
//                                    frozen=<0|1> phase-samples=<n> last-phase=<ns>
//   power-up                      power cycle with the environment's settings
//   fw-upgrade <polls>|forever    firmware upgrade for that many state polls
//   fw-upgrade-seconds <s>        firmware upgrade for that many (protocol) seconds
//   set-state <n>                 0 running, 1 upgrading, 2 starting, 6 not started, other: unknown
//   startup-seconds <s>           start-up delay after init
//   lock-seconds <s>              lock delay after running or a new master
//   lock|clock|service 0|1|auto   force the lock, master clock or master service state
//   kill-api                      the API dies until the next init
//   fail <fn> <status> [<count>]  <fn> returns <status> (for <count> calls); status 0 clears
//   clear-fail                    clears every injected failure
//   counters <sls> <norx>         sets the two counters
//   freeze-counters 0|1           frozen counters change only through "counters"
//   sync-loss <permille>          sync messages lost while locked
//   phase <mean> <spread>         phase error samples within mean +- spread (ns)
//   phase-samples <v>[,<v>...]    samples handed out before the generated ones
//   seed <n>                      restarts the sample sequence with this seed
//   journal [<n>]                 ok <count>, then one line per call, oldest first:
//                                    <seq> <wall s.us> <thread> <function>(<args>) = <status> [-> <value>]
#pragma once

#include <string>

#include "TopChip.h"

namespace topdrv {

// Runs one command line on `chip` and returns the answer. A malformed
// command changes nothing, is answered with an error and logged as a warning.
std::string runCommand(Chip& chip, std::string const& line);

}  // namespace topdrv
