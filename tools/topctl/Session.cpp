#include "Session.h"

#include <sys/stat.h>
#include <sys/syscall.h>
#include <unistd.h>

#include <fcntl.h>
#include <sys/file.h>

#include <algorithm>
#include <atomic>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <mutex>
#include <set>
#include <thread>

#include "ChipControl.h"
#include "Diag.h"
#include "EnvVars.h"
#include "HandlerThreadPolicies.h"
#include "NodeDir.h"
#include "REFLECT_ObserverSkeleton.h"
#include "REFLECT_interfaceRepository.h"
#include "REFLECT_metaObject.h"
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

Session* gSession = nullptr;

// Watches the node's membership service, which holds a lock on its lock
// file for as long as it runs; gone for a second, it ends the tool or, for a
// session that outlasts it, marks the node down until it is back.
class NodeWatch {
public:
    NodeWatch() : thread_([this] { run(); }) {}
    ~NodeWatch() {
        {
            std::lock_guard<std::mutex> lock(mutex_);
            stop_ = true;
        }
        wake_.notify_all();
        // The thread may be on its way out of the process, waiting for the
        // exit this one began.
        if (ending_.exchange(true))
            thread_.detach();
        else
            thread_.join();
    }
    std::atomic<bool> outlast{false};
    std::atomic<bool> up{true};

private:
    static bool serviceRuns() {
        int fd = ::open((platform::nodeDirectory() + "/topnoded.lock").c_str(), O_RDONLY | O_CLOEXEC);
        if (fd < 0) return false;
        bool const held = ::flock(fd, LOCK_SH | LOCK_NB) != 0;
        ::close(fd);
        return held;
    }
    void run() {
        int missing = 0;
        std::unique_lock<std::mutex> lock(mutex_);
        while (!wake_.wait_for(lock, std::chrono::milliseconds(250), [this] { return stop_; })) {
            missing = serviceRuns() ? 0 : missing + 1;
            if (missing == 0 && !up) {
                up = true;
                std::fprintf(stderr, "topctl: the node's membership service at %s is back\n",
                             platform::nodeDirectory().c_str());
            }
            if (missing < 4 || !up) continue;
            if (!outlast) {
                if (ending_.exchange(true)) continue;  // its owner is ending it
                lock.unlock();
                exitWith(kFailed, "the node at " + platform::nodeDirectory() + " went away (its membership service ended)");
            }
            up = false;
            std::fprintf(stderr, "topctl: the node's membership service at %s is gone; no calls until it is back\n",
                         platform::nodeDirectory().c_str());
        }
    }
    std::mutex mutex_;
    std::condition_variable wake_;
    bool stop_ = false;
    std::atomic<bool> ending_{false};  // taken by whichever ends the watch: its owner or its exit
    std::thread thread_;
};

NodeWatch* gWatch = nullptr;

// The ORBs that have subscribed here to creations or deletions of a class,
// and the number of their subscriptions.
std::set<unsigned long> subscribers(TreflectORB& orb, size_t* count) {
    std::set<unsigned long> out;
    *count = 0;
    RunPermissionGuard g;
    for (unsigned long cc : InterfaceRepository::instance()->getIfIds()) {
        TreflectORB::MetaData& md = orb.getMetaData(cc);
        for (auto const& id : md.remoteCreationObservers) out.insert(id.value());
        for (auto const& id : md.remoteDeletionObservers) out.insert(id.value());
        *count += md.remoteCreationObservers.size() + md.remoteDeletionObservers.size();
    }
    return out;
}

// Collects the objects a class-wide creation subscription reports.
class Collector : public TreflectObserver {
public:
    Collector() : TreflectObserver(TipprmiOID(static_cast<char const*>(nullptr), NSID_UNIT), nullptr, std::string()) {}
    bool handleNotification() override {
        if (getSource()) found.push_back(*getSource());
        return true;
    }
    std::vector<TreflectObject> found;
};

}  // namespace

CallTiming& callTiming() {
    static CallTiming t;
    return t;
}

void exitWith(Exit status, std::string const& message) {
    // A second thread on its way out waits for the first to end the process.
    static std::atomic<bool> leaving{false};
    if (leaving.exchange(true))
        for (;;) ::pause();
    std::fflush(stdout);
    bool const mainThread = ::syscall(SYS_gettid) == ::getpid();
    // Without the node nobody is left to wait for; off the main thread, the
    // session is the main thread's to leave.
    if (gSession && mainThread && (!gWatch || gWatch->up)) gSession->leave();
    if (!message.empty()) {
        std::fprintf(stderr, "topctl: %s\n", message.c_str());
        if (options().json) {
            JsonWriter j;
            j.beginObject().member("schema", kErrorSchema).member("command", options().command);
            j.member("status", static_cast<int>(status)).member("statusName", exitName(status));
            printJson(j.member("error", message).endObject());
        }
    }
    std::fflush(nullptr);
    if (!mainThread) std::_Exit(status);  // the main thread still runs what exit() would tear down
    std::exit(status);
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

CallScope::CallScope() : guard_(new Guard), mark_(errorMark()), start_(std::chrono::steady_clock::now()) {}
CallScope::~CallScope() {
    CallTiming& t = callTiming();
    ++t.calls;
    t.seconds += std::chrono::duration<double>(std::chrono::steady_clock::now() - start_).count();
}

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
    gSession = this;
    gWatch = new NodeWatch;
    callTiming().joined = std::chrono::steady_clock::now();
}

Session::~Session() {
    leave();
    if (gSession == this) gSession = nullptr;
}

Session* Session::current() { return gSession; }

void Session::outlastNodeService() { gWatch->outlast = true; }

bool Session::nodeUp() const { return !gWatch || gWatch->up; }

void Session::leave() {
    if (left_) return;
    left_ = true;
    callTiming().leaving = std::chrono::steady_clock::now();
    dropControl();
    // The actors subscribe to every newcomer's ORB and wait for its answers.
    // The tasks always do: stay until each task still on the node has (at
    // most a second), then until the workers have been idle for a while.
    TreflectORB& orb = *orb_;
    std::set<unsigned long> tasks = taskOrbs_;
    unsigned short const taskName = Transport::IdInfo::nameIdOf("topAdapter");
    for (auto const& t : Transport::TransportLayer::instance().getTerminations())
        if (t.nameId() == taskName && t != orb.termId()) tasks.insert(orb.convertId(t).value());
    {
        RunPermissionRelease released;
        auto const end = std::chrono::steady_clock::now() + std::chrono::seconds(1);
        size_t count = 0, last = 0;
        for (;;) {
            std::set<unsigned long> const done = subscribers(orb, &count);
            bool waiting = false;
            for (unsigned long id : tasks)
                waiting |= !done.count(id) &&
                           Transport::TransportLayer::instance().exists(orb.convertId(TreflectOrbId(id)));
            if (!waiting || std::chrono::steady_clock::now() >= end) break;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
        // A task subscribes class after class: until none came for a while.
        int quiet = 0;
        while (quiet < 8 && std::chrono::steady_clock::now() < end) {
            last = count;
            subscribers(orb, &count);
            quiet = count == last && orb.idleWorkerCount() == orb.workerCount() ? quiet + 1 : 0;
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
        }
    }
    delete gWatch;
    gWatch = nullptr;
}

std::vector<std::shared_ptr<TopAdapterStatusClient> > Session::statusObjects() {
    RunPermissionGuard g;
    Collector collector;
    {
        CallScope scope;
        TopAdapterStatusClient::ClientSpecificMetaObject* meta = TopAdapterStatusClient::staticMeta();
        meta->observeCreations(&collector, true);
        // Found once: nobody is left subscribed to announce later ones to.
        meta->removeObserver(&collector);
    }
    std::vector<std::shared_ptr<TopAdapterStatusClient> > out;
    // Handles are released under the run permission, wherever the last copy goes.
    for (auto const& o : collector.found)
        out.emplace_back(new TopAdapterStatusClient(o), [](TopAdapterStatusClient* c) {
            RunPermissionGuard permission;
            delete c;
        });
    return out;
}

std::vector<Task> Session::tasks() {
    std::vector<Task> out;
    for (auto const& status : statusObjects()) {
        Task t;
        t.status = status;
        CallScope scope;
        t.orbId = status->getStub_()->orbId().value();
        taskOrbs_.insert(t.orbId);
        t.view = status->getStatus();
        t.answered = errorSince(scope.mark()).empty();
        out.push_back(t);
    }
    std::sort(out.begin(), out.end(), [](Task const& a, Task const& b) { return a.view.unit < b.view.unit; });
    return out;
}

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
