// The node as metric families: read from the card by `metrics` once, or
// again and again by the exporter of `metrics --listen`, and written in the
// text exposition formats.
#pragma once

#include <stdint.h>

#include <string>
#include <utility>
#include <vector>

#include "Commands.h"

namespace topctl {

struct Family {
    std::string name;  // a counter's without its "_total"
    char const* type;  // "gauge" or "counter"
    char const* unit;  // "" for none
    char const* help;
    std::vector<std::pair<std::string, std::string> > samples;  // labels ("a=\"x\",b=\"y\""), value

    void add(std::string const& labels, long long value);
    void add(std::string const& labels, unsigned long long value);
    // Nanoseconds, in the family's base unit, seconds.
    void addSeconds(std::string const& labels, long long ns);
    void add(std::string const& labels, double value);
};

// One actor's ORB counts towards one destination since they were last read:
// the actor clears them when it answers.
struct OrbCount {
    std::string actor;
    unsigned long termination = 0;
    unsigned long destination = 0;
    std::string destinationActor;  // "gone" when no actor on the node has it
    unsigned long sent = 0, failed = 0;
};

struct CardReading {
    bool modelUp = false;
    unsigned tasks = 0;         // status objects that answered
    std::vector<Family> gauges;  // of the flows and the tasks
    std::vector<OrbCount> orb;   // of every actor that answered
    std::vector<unsigned long> answered;  // the terminations whose ORB answered
};

// Reads the card once: the model's flows and alarms, the tasks' status, each
// counting flow's performance service triggered and its answer, and the ORB
// counters of every other actor (which clears them). With `tolerate`, what
// is not on the node is left out instead of ending the tool.
CardReading readCard(Session& s, bool tolerate);

// A label value as the exposition formats quote it.
std::string labelValue(std::string const& text);

enum class Exposition { kOpenMetrics, kText };
// OpenMetrics 1.0 (ends with "# EOF"), or the Prometheus text format 0.0.4.
std::string exposition(std::vector<Family> const& families, Exposition format);

#ifdef TOPCTL_HTTP
// metrics --listen: serves /metrics until SIGINT or SIGTERM.
Exit serveMetrics(Session& s, std::string const& listen, double interval);
#endif

}  // namespace topctl
