// topctl: the operator's command line for a card. It joins the node as an
// actor of its own and talks to the model, the tasks and the chip through
// the runtime's clients and the chip's control channel.
//
// Exit status: 0 done, 1 failed (one line on standard error), 2 wrong
// command line (usage on standard error), 3 not yet: no data from the task
// (perf) or the condition not reached in time (wait).
#include <chrono>
#include <cstdio>
#include <cstring>

#include "Commands.h"

using namespace topctl;

#ifndef TOPADAPTER_VERSION
#define TOPADAPTER_VERSION "0"
#endif

namespace {

struct Command {
    char const* name;
    char const* usage;
    char const* help;
    Exit (*run)(Words&);
    // Version of the command's --json output (schema/<name>.json); raised
    // when a field goes or changes its meaning, kept when one is added.
    unsigned schema;
};

std::vector<Command> const& commands() {
    static std::vector<Command> const all = {
        {"flows", "flows [--keys]",
         "Lists the model's flows: key, unit, administrative state, master address, log mean sync\n"
         "value (rate), the state of the flow's adapter in its task, driver up, lock, master clock\n"
         "and the alarm conditions the model holds raised. The task is first asked for fresh driver\n"
         "information. --keys: the keys only, one per line.\n"
         "Adapter states: disabled, waiting-for-master (unlocked, no master address yet),\n"
         "config-failed (the chip refused the configuration or its driver went down while starting),\n"
         "starting, running; \"-\" when no task adapts the flow (another unit's).",
         cmdFlows, 1},
        {"flow", "flow KEY",
         "Everything about one flow: its values in the model, its adapter in the task (state and\n"
         "since when, pending values, performance counters), the task's chip driver, the lock, and\n"
         "for each alarm condition the task's record (decided value, phase, when due) beside what\n"
         "the model received and when.",
         cmdFlow, 1},
        {"set", "set KEY admin locked|unlocked | set KEY master A.B.C.D | set KEY rate N",
         "Changes a flow as an operator does: its administrative state (locked, unlocked; 0 and 1\n"
         "are taken too), its master address, or its log mean sync value (-128..127). The task\n"
         "hears of it as of any change.",
         cmdSet, 1},
        {"create", "create KEY UNIT [locked|unlocked [A.B.C.D]]",
         "Creates a flow in the model (locked and without master address by default).", cmdCreate, 1},
        {"delete", "delete KEY", "Deletes a flow from the model.", cmdDelete, 1},
        {"alarms", "alarms [clear]",
         "Lists the alarm changes the model received from the task, in order, with the time each\n"
         "was received, and the conditions raised now; 'clear' forgets them.",
         cmdAlarms, 1},
        {"perf",
         "perf KEY [--command C] [--ident N] [--history | --csv | --plot | --svg FILE] [--wait S | --last]",
         "Triggers the flow's performance service as its clients do and prints what the task\n"
         "answered. Counters: 1 sls (seconds without lock, s), 2..4 minimum, average and maximum\n"
         "phase error (ns, signed), 5 no-rx-sync (sync messages missed).\n"
         "--command: current (1), history (2), 3, exist (4), start (5), stop (6), reset (7) or all\n"
         "(8, the default: every counter, or the one of --ident). --history: a table of the 96\n"
         "intervals with their end times, latest first; --csv the same as CSV; --plot a chart of\n"
         "the phase error and the seconds without lock in the terminal; --svg FILE the same chart\n"
         "as an SVG file. --wait: how long to wait for the answer (3 s); --last: no trigger, what\n"
         "the model last received. Without an answer it says \"no data from the task\" and exits 3.",
         cmdPerf, 1},
        {"metrics", "metrics [--listen HOST:PORT [--interval S]]",
         "The node in the OpenMetrics text format, for a node exporter's text-file collector: per\n"
         "flow its administrative and adapter state, alarm states and the five counters in the\n"
         "running and the last interval (each counting flow's performance service is triggered);\n"
         "per actor its ORB counters (read and cleared), once.\n"
         "--listen: stays on the node and serves /metrics over HTTP to Prometheus: the ORB counters\n"
         "accumulated into _total counters, the card read at most once every S seconds (10)\n"
         "whatever the number of scrapers, every scrape answered within a second (by the last\n"
         "reading when a new one takes longer); the model, the tasks and the membership service may\n"
         "come and go meanwhile. Ends on SIGINT or SIGTERM.",
         cmdMetrics, 1},
        {"orb", "orb [ACTOR | --self]",
         "The ORB performance counters (messages sent and failed per destination) of ACTOR (its name\n"
         "or termination id), or of every other actor; each actor clears its counters when it answers.\n"
         "--self: the display figures of topctl's own ORB and the actors on the node.",
         cmdOrb, 1},
        {"chip", "chip [--actor ACTOR | -p PID] COMMAND...",
         "Sends one command to the simulated chip of the task (ACTOR default topAdapter; -n is taken\n"
         "too) through its control channel and prints the answer; 'topctl chip help' lists them.",
         cmdChip, 1},
        {"watch", "watch [SECONDS | -n SECONDS] [--count N] [--actor ACTOR]",
         "Redraws the flows, the alarm counts and the state of the task's chip every SECONDS (2)\n"
         "until interrupted, or N times.",
         cmdWatch, 1},
        {"monitor", "monitor [--count N] [--timeout S]",
         "Streams events, one line each with its time: changes of the adapters' states (as the\n"
         "tasks made them), alarm changes (as the model received them), flows created and deleted.\n"
         "--json: one JSON object per line. Ends when interrupted, after N events or S seconds.",
         cmdMonitor, 1},
        {"wait", "wait KEY running|locked|alarm-free [--timeout S]",
         "Waits until the flow's adapter runs, its chip is locked, or no alarm of it is raised or\n"
         "about to be (60 s by default); exits 0 when it is, 3 when the time ran out.",
         cmdWait, 1},
    };
    return all;
}

void mainHelp(FILE* out) {
    std::fprintf(out, "usage: topctl [--json] [--verbose] [--timing] [-d NODE_DIR] COMMAND [ARGS]\n\ncommands:\n");
    for (auto const& c : commands()) std::fprintf(out, "  %s\n", c.usage);
    std::fprintf(out,
                 "\n'topctl COMMAND --help' tells more. Options go anywhere on the line. --json: JSON on\n"
                 "standard output (one object; monitor and watch: one per line). --verbose: the runtime's\n"
                 "log records on standard error. --timing: on standard error, the remote calls and their\n"
                 "time, and the command's own (from joining the node to leaving it). -d: the node\n"
                 "directory (TOPADAPTER_NODE_DIR). Times are RFC 3339, local time.\n"
                 "Exit status: 0 done, 1 failed (one line on standard error; with --json also an error\n"
                 "object on standard output), 2 wrong command line, 3 not yet (perf: no data from the\n"
                 "task; wait: not reached in time).\n");
}

}  // namespace

int main(int argc, char** argv) {
    Options& o = options();
    // Before anything of the runtime runs, exit paths included.
    for (int i = 1; i < argc; ++i) {
        o.verbose |= std::strcmp(argv[i], "--verbose") == 0;
        o.json |= std::strcmp(argv[i], "--json") == 0 || std::strcmp(argv[i], "-j") == 0;
    }
    prepareEnvironment(o.verbose);
    Words words;
    bool help = false;
    for (int i = 1; i < argc; ++i) {
        std::string a = argv[i];
        if (a == "--json" || a == "-j")
            o.json = true;
        else if (a == "--verbose")
            continue;
        else if (a == "--timing")
            o.timing = true;
        else if (a == "-h" || a == "--help")
            help = true;
        else if (a == "--version") {
            std::printf("topctl %s\n", TOPADAPTER_VERSION);
            exitWith(kDone, "");
        } else if (a == "-d") {
            if (i + 1 == argc) usageError("-d needs a node directory");
            ::setenv("TOPADAPTER_NODE_DIR", argv[++i], 1);
        } else
            words.push_back(a);
    }
    if (words.empty()) {
        mainHelp(help ? stdout : stderr);
        exitWith(help ? kDone : kUsage, "");
    }
    o.command = words[0];
    words.erase(words.begin());
    for (auto const& c : commands()) {
        if (o.command != c.name) continue;
        if (help) {
            std::printf("usage: topctl %s\n\n%s\n", c.usage, c.help);
            exitWith(kDone, "");
        }
        o.schema = c.schema;
        Exit const status = c.run(words);
        CallTiming const& t = callTiming();
        if (o.timing)
            std::fprintf(stderr, "topctl: timing: %lu remote calls took %.3f ms; the command %.3f ms\n", t.calls,
                         t.seconds * 1e3, std::chrono::duration<double, std::milli>(t.leaving - t.joined).count());
        exitWith(status, "");
    }
    std::string const unknown = o.command;
    o.command.clear();
    usageError("unknown command '" + unknown + "'");
}
