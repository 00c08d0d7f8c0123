// topctl's presence on the node: its own ORB, the model's control object,
// and what it learns of the node's actors from the membership. Every failure
// ends the tool through exitWith() (Cli.h) with one line on standard error.
#pragma once

#include <chrono>
#include <list>
#include <set>
#include <memory>
#include <string>
#include <type_traits>
#include <utility>
#include <vector>

#include "Cli.h"
#include "ModelControlClient.h"
#include "TopAdapterStatusClient.h"
#include "Transport.h"

class TreflectORB;

namespace topctl {

// Sets the environment the runtime reads before anything of it runs: the
// actor's identity, log output off the terminal unless `verbose`. Installs
// the capture of log records that tells failed calls apart.
void prepareEnvironment(bool verbose);

// (Re)installs that capture.
void captureErrors();

// Text of the first error or warning record the calling thread emitted since
// `mark` (a value of errorMark()); empty when there was none.
unsigned long errorMark();
std::string errorSince(unsigned long mark);

// A task of the node, found by its status object.
struct Task {
    std::shared_ptr<TopAdapterStatusClient> status;
    TopAdapterStatusClient::TaskStatus view;
    unsigned long orbId = 0;
    bool answered = false;
};

// Remote calls made and the time they took, for --timing.
struct CallTiming {
    unsigned long calls = 0;
    double seconds = 0;
    // From the node joined to the leave begun: the command's own time.
    std::chrono::steady_clock::time_point joined, leaving;
};
CallTiming& callTiming();

struct Actor {
    Transport::TerminationId termId;
    unsigned long orbId = 0;
    std::string name;  // "?" when no known name has its name id
    bool self = false;
};

class Session {
public:
    // Joins the node; fails when its membership service does not answer.
    Session();
    // Leaves the node in order (leave()).
    ~Session();

    // Removes what topctl observes and waits until the requests of the
    // node's actors (their subscriptions to a newcomer) are answered, so
    // that nobody is left waiting on a process that went. Called by the
    // destructor and by exitWith().
    void leave();
    // The membership service has been missing for a second. A session ends
    // the tool then (a call to a peer that dies meanwhile would wait for
    // ever: nobody is left to report its end), unless it was told to
    // outlast the service, as a long-running exporter is: it then only
    // stops calling until the service is back.
    void outlastNodeService();
    bool nodeUp() const;
    // The session of this process, if any.
    static Session* current();

    // The tasks of the node with their status, in unit order; the status
    // objects are found as instances of their class.
    std::vector<Task> tasks();
    // Every status object on the node (the discovery of tasks()).
    std::vector<std::shared_ptr<TopAdapterStatusClient> > statusObjects();

    TreflectORB& orb() { return *orb_; }

    // Runs `f` on the model's control object under the run permission. Fails
    // when the model is not on the node or the call does not go through.
    template <class F>
    auto model(F f) -> decltype(f(std::declval<ModelControlClient&>()));

    // Whether the model's control object can be reached now (looked up again
    // when the last one was lost); for the live view, which carries on.
    bool modelReachable();

    // From now on a failed call returns zeros and is told by lastCallFailed()
    // (any since this call) instead of ending the tool.
    void tolerateFailedCalls() {
        tolerate_ = true;
        failed_ = false;
    }
    bool lastCallFailed() const { return failed_; }

    std::list<Actor> actors();
    // The terminations of the actor named `text` (its name, or a termination
    // id in decimal or 0x-hex); fails when there is none.
    std::vector<Transport::TerminationId> findActor(std::string const& text);

private:
    ModelControlClient& control();
    void checkCall(unsigned long mark, char const* what);
    void dropControl();

    TreflectORB* orb_ = nullptr;
    std::unique_ptr<ModelControlClient> control_;
    bool tolerate_ = false;
    bool failed_ = false;
    bool left_ = false;
    std::set<unsigned long> taskOrbs_;  // ORB ids of the tasks found
};

// Held across one remote call: the run permission, and a mark of the error
// records seen so far.
class CallScope {
public:
    CallScope();
    ~CallScope();
    unsigned long mark() const { return mark_; }

private:
    struct Guard;
    std::unique_ptr<Guard> guard_;
    unsigned long mark_;
    std::chrono::steady_clock::time_point start_;
};

template <class F>
auto Session::model(F f) -> decltype(f(std::declval<ModelControlClient&>())) {
    ModelControlClient& c = control();
    CallScope scope;
    if constexpr (std::is_void_v<decltype(f(c))>) {
        f(c);
        checkCall(scope.mark(), "model");
    } else {
        auto result = f(c);
        checkCall(scope.mark(), "model");
        return result;
    }
}

}  // namespace topctl
