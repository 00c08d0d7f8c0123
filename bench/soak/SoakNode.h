// The processes of the soak's node and what can be read of them from
// outside: the membership service, the model actor, the cards' tasks (each
// with its simulated chip behind its control channel) and short-lived
// operator clients.
//
// Every child writes its records to a file of its own in the run directory
// and its sanitizer reports (ASan, UBSan, TSan) to a path of its own under
// reports/, so that a report is found and named even for a child that was
// killed. Children die with the soak (PR_SET_PDEATHSIG). Children are
// started, ended and reaped from any thread of the soak.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <map>
#include <mutex>
#include <string>
#include <vector>

#include "Transport.h"

namespace soak {

using Clock = std::chrono::steady_clock;

double secondsSince(Clock::time_point t);

struct Child {
    std::string name;  // unique in the run: "topAdapter-1.3", "topctl.17"
    pid_t pid = 0;
    bool killed = false;   // signalled by the soak: its end is no failure
    int signal = 0;        // the signal the soak sent
    bool tool = false;     // an operator's tool: it ends by itself
    bool ended = false;    // reaped
    int status = 0;        // as from waitpid, once ended
    std::string log, out;  // records, standard output and error
};

// A child's reading of /proc: resident memory and threads by name.
struct Usage {
    long rssKiB = -1;
    std::map<std::string, unsigned> threads;
    unsigned total() const;
    unsigned count(std::string const& name) const;
};

class Node {
public:
    explicit Node(double scale);
    ~Node();  // kills every child still running

    // A fresh private node directory (the run directory) and its membership service.
    bool start();
    std::string const& dir() const { return dir_; }

    // Starts `exe` of this build; `env` ("NAME=value") is added to the
    // soak's own environment. Null when it cannot be started.
    Child* spawn(std::string const& name, std::string const& exe, std::vector<std::string> const& args,
                 std::vector<std::string> env, bool tool = false);
    // A name id for an operator's tool, none of the node's actors' and none
    // a tool had lately: ids derived from a tool's process id collide when
    // thousands of tools come and go (any thread).
    std::string toolNameId();
    // SIGKILL and reap.
    void kill(Child* child);
    // Sends `signal` and waits until the child has ended, at most `seconds`; whether it ended.
    bool end(Child* child, int signal, double seconds);
    // Whether the child has ended (reaped now if it just did).
    bool ended(Child* child);
    // Reaps children that have ended; returns those, other than tools, that ended without the soak killing them.
    std::vector<Child*> reap();
    // Children not yet ended, last started first.
    std::vector<Child*> running();
    // Whether a line of `file` holds `text`, waiting for it until `seconds` passed.
    static bool waitForText(std::string const& file, std::string const& text, double seconds);
    // Whether a termination of the node exists (the membership service's view).
    static bool exists(Transport::TerminationId const& id);

    // Non-empty sanitizer report files written so far.
    std::vector<std::string> reports() const;
    // One command to the chip of the task `pid`; "error: WHY" when it does not answer.
    static std::string chip(pid_t pid, std::string const& command);
    static Usage usage(pid_t pid);

    void removeDirectory();

private:
    double scale_;
    std::string dir_;
    std::mutex mutex_;  // guards children_ and every child's fields
    std::vector<Child*> children_;
    unsigned toolIds_ = 0;
};

}  // namespace soak
