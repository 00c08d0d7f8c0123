#include "Session.h"

#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>

#include "ChipControl.h"
#include "Diag.h"
#include "EnvVars.h"
#include "HandlerThreadPolicies.h"
#include "NodeDir.h"
#include "REFLECT_objectStub.h"
#include "REFLECT_orb.h"

namespace topctl {
namespace {

// Warnings count too: a failed call shows as "Unmarshall error" (severity 4)
// on the calling thread and as nothing else.
struct ErrorLog {
    std::mutex mutex;
    unsigned long count = 0;
    std::vector<std::pair<unsigned long, std::string> > recent;  // (thread, text), bounded
};

ErrorLog& errorLog() {
    static ErrorLog* log = new ErrorLog;  // records may come from exit paths
    return *log;
}

void capture(diag::Record const& r) {
    bool notable = r.kind == diag::Record::Log ? r.severity <= 4 : r.isError();
    if (!notable) return;
    ErrorLog& log = errorLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    ++log.count;
    log.recent.emplace_back(r.thread, r.text);
    if (log.recent.size() > 64) log.recent.erase(log.recent.begin());
}

std::string lastErrorText() {
    ErrorLog& log = errorLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.recent.empty() ? std::string() : log.recent.back().second;
}

}  // namespace

void fail(std::string const& message) {
    std::fflush(stdout);
    std::fprintf(stderr, "topctl: %s\n", message.c_str());
    std::exit(1);
}

void prepareEnvironment(bool verbose) {
    if (verbose)
        ::setenv("TOPADAPTER_QUIET", "0", 1);
    else if (!std::getenv("TOPADAPTER_LOG_FILE"))
        ::setenv("TOPADAPTER_QUIET", "1", 1);
    if (!platform::envIsSet("TOPADAPTER_ACTOR")) ::setenv("TOPADAPTER_ACTOR", "topctl", 1);
    // One name id per process, so that a second topctl (a watch beside a
    // set) is not refused the id the first one holds.
    if (!platform::envIsSet("TOPADAPTER_NAME_ID")) {
        std::string const self = std::string(std::getenv("TOPADAPTER_ACTOR")) + "." + std::to_string(::getpid());
        ::setenv("TOPADAPTER_NAME_ID", std::to_string(Transport::IdInfo::nameIdOf(self)).c_str(), 1);
    }
    // A tool that finds no node says so quickly.
    ::setenv("TOPADAPTER_NODED_WAIT_MS", "1500", 0);
    Transport::IdInfo::instance().reload();
    captureErrors();
}

void captureErrors() { diag::setCaptureSink(capture); }

unsigned long errorMark() {
    ErrorLog& log = errorLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    return log.count;
}

std::string errorSince(unsigned long mark) {
    ErrorLog& log = errorLog();
    std::lock_guard<std::mutex> lock(log.mutex);
    unsigned long const self = diag::currentThreadId();
    unsigned long const fresh = log.count - mark;
    size_t const start = fresh >= log.recent.size() ? 0 : log.recent.size() - fresh;
    for (size_t i = start; i < log.recent.size(); ++i)
        if (log.recent[i].first == self) return log.recent[i].second;
    return std::string();
}

struct CallScope::Guard {
    RunPermissionGuard g;
};

CallScope::CallScope() : guard_(new Guard), mark_(errorMark()) {}
CallScope::~CallScope() = default;

Session::Session() {
    struct stat st;
    if (::stat(platform::nodeDirectory().c_str(), &st) != 0)
        fail("no node at " + platform::nodeDirectory() + ": the directory does not exist");
    if (!platform::nodeDirectoryOk())
        fail("node directory " + platform::nodeDirectory() + " is not private to this user");
    orb_ = TreflectORB::getInstance(NSID_UNIT);
    if (!orb_->started()) {
        std::string why = lastErrorText();
        if (why.find("in use") != std::string::npos)
            fail("cannot join the node at " + platform::nodeDirectory() + ": name id " +
                 std::to_string(Transport::IdInfo::instance().nameId()) + " is in use (set TOPADAPTER_NAME_ID)");
        fail("cannot join the node at " + platform::nodeDirectory() +
             ": no membership service answers there (is the card running?)");
    }
}

Session::~Session() { dropControl(); }

void Session::dropControl() {
    if (!control_) return;
    RunPermissionGuard g;
    control_.reset();
}

ModelControlClient& Session::control() {
    if (!modelReachable() && !tolerate_) fail("model not reachable on the node");
    return *control_;
}

bool Session::modelReachable() {
    RunPermissionGuard g;
    if (control_ && control_->isConnected() &&
        Transport::TransportLayer::instance().exists(orb_->convertId(control_->getStub_()->orbId())))
        return true;
    control_.reset();
    control_ = std::make_unique<ModelControlClient>(TipprmiOID(ModelControlClient::NAME));
    return control_->isConnected();
}

void Session::checkCall(unsigned long mark, char const* what) {
    std::string const error = errorSince(mark);
    if (error.empty()) return;
    failed_ = true;
    if (tolerate_) return;
    if (!modelReachable()) fail(std::string(what) + " not reachable on the node");
    fail(std::string("call to the ") + what + " failed: " + error);
}

std::list<Actor> Session::actors() {
    // Names are not part of the membership; an actor whose name id was not
    // set explicitly is recognised by the name id its name gives.
    std::set<std::string> names{"topAdapter", "topmodel", "topctl", Transport::IdInfo::instance().getActor()};
    for (auto const& c : topdrv::listControlChannels())
        if (!c.name.empty()) names.insert(c.name);
    std::list<Actor> out;
    for (auto const& t : Transport::TransportLayer::instance().getTerminations()) {
        Actor a;
        a.termId = t;
        a.orbId = orb_->convertId(t).value();
        a.self = t == orb_->termId();
        a.name = a.self ? Transport::IdInfo::instance().getActor() : "?";
        for (auto const& n : names)
            if (!a.self && Transport::IdInfo::nameIdOf(n) == t.nameId()) a.name = n;
        out.push_back(a);
    }
    return out;
}

std::vector<Transport::TerminationId> Session::findActor(std::string const& text) {
    std::vector<Transport::TerminationId> found;
    int64_t number = 0;
    if (platform::parseInt64(text, 1, UINT32_MAX, &number)) {
        Transport::TerminationId t(static_cast<unsigned long>(number));
        if (!Transport::TransportLayer::instance().exists(t)) fail("no termination " + text + " on the node");
        found.push_back(t);
        return found;
    }
    unsigned short const id = Transport::IdInfo::nameIdOf(text);
    for (auto const& t : Transport::TransportLayer::instance().getTerminations())
        if (t.nameId() == id && t != orb_->termId()) found.push_back(t);
    if (found.empty())
        fail("no actor named " + text +
             " on the node (an actor with an explicit TOPADAPTER_NAME_ID is found by its termination id; see 'topctl "
             "orb --self')");
    return found;
}

}  // namespace topctl
