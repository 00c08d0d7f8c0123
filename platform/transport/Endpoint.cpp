// Endpoint: start and stop, the event thread, and the helpers its other
// parts share (EndpointSend.cpp: sending; EndpointReceive.cpp: the
// receiving thread).
#include "Endpoint.h"

#include <pthread.h>
#include <sys/epoll.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "EndpointInternal.h"
#include "Log.h"
#include "NodeDir.h"
#include "Socket.h"

namespace Transport {
namespace endpoint {

int envTime(char const* name, int fallback, int max, char const* unit) {
    char const* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long t = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || t < 0 || t > max) {
        TA_LOG(3, "%s=\"%s\" is not a time in %s up to %d, using %d", name, v, unit, max, fallback);
        return fallback;
    }
    return int(t);
}

int envMs(char const* name, int fallback) { return envTime(name, fallback, 3600000, "ms"); }

int sendTimeoutMs() {
    static int ms = envMs("TOPADAPTER_SEND_TIMEOUT_MS", 2000);
    return ms;
}

int joinWaitMs() {
    static int ms = envMs("TOPADAPTER_NODED_WAIT_MS", 3000);
    return ms;
}

int answerPollUs() { return envTime("TOPADAPTER_ANSWER_POLL_US", TA_ANSWER_POLL_DEFAULT_US, 1000000, "us"); }

bool epollAdd(int ep, int fd, uint64_t tag, uint32_t events) {
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof ev);
    ev.events = events;
    ev.data.u64 = tag;
    if (::epoll_ctl(ep, EPOLL_CTL_ADD, fd, &ev) == 0) return true;
    // Only a registration of this very socket can be there already.
    return errno == EEXIST && ::epoll_ctl(ep, EPOLL_CTL_MOD, fd, &ev) == 0;
}

bool epollDel(int ep, int fd) {
    struct epoll_event ev;
    std::memset(&ev, 0, sizeof ev);
    return ::epoll_ctl(ep, EPOLL_CTL_DEL, fd, &ev) == 0 || errno == ENOENT;
}

}  // namespace endpoint

using namespace endpoint;

bool CallbackGate::enter() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (closed_) return false;
    ++inFlight_;
    return true;
}

void CallbackGate::leave() {
    std::lock_guard<std::mutex> lock(mutex_);
    if (--inFlight_ == 0) idle_.notify_all();
}

void CallbackGate::close() {
    std::unique_lock<std::mutex> lock(mutex_);
    closed_ = true;
    idle_.wait(lock, [&] { return inFlight_ == 0; });
}

void CallbackGate::reopen() {
    std::lock_guard<std::mutex> lock(mutex_);
    closed_ = false;
}

// ---------------------------------------------------------------------------

Endpoint::OutConn::~OutConn() {
    if (fd >= 0) ::close(fd);
}

Endpoint::Endpoint(TerminationImpl& owner, TerminationId id)
    : owner_(owner), id_(id), path_(sock::terminationPath(uint32_t(id.value()))) {}

Endpoint::~Endpoint() {
    if (epollFd_.load() >= 0) ::close(epollFd_.load());
    if (listenFd_ >= 0) ::close(listenFd_);
    if (wakeFd_ >= 0) ::close(wakeFd_);
}

bool Endpoint::start() {
    if (running_.load()) return joined_.load();
    uint32_t id = uint32_t(id_.value());
    if (!platform::nodeDirectoryOk()) {
        TA_LOG(3, "termination 0x%08X cannot start: node directory %s is not usable", id,
               platform::nodeDirectory().c_str());
        return false;
    }
    if (id == 0 || id_.groupId() == GRPID_UNDEF) {
        TA_LOG(3, "termination 0x%08X cannot start: invalid id (group %u)", id, unsigned(id_.groupId()));
        return false;
    }
    listenFd_ = sock::listenAt(path_, 128);
    // A predecessor killed outright may still be closing its socket while
    // the node already knows it gone: its name frees within moments.
    for (int i = 0; listenFd_ < 0 && errno == EADDRINUSE && i < 50; ++i) {
        ::usleep(20000);
        listenFd_ = sock::listenAt(path_, 128);
    }
    if (listenFd_ < 0) {
        if (errno == EADDRINUSE)
            TA_LOG(3, "termination 0x%08X already exists: %s is in use", id, path_.c_str());
        else
            TA_LOG(3, "termination 0x%08X cannot listen on %s: %s", id, path_.c_str(), std::strerror(errno));
        return false;
    }
    if (wakeFd_ < 0) wakeFd_ = sock::makeWakeFd();
    int ep = ::epoll_create1(EPOLL_CLOEXEC);
    if (ep < 0 || !epollAdd(ep, wakeFd_, kTagWake) || !epollAdd(ep, listenFd_, kTagListen)) {
        TA_LOG(3, "termination 0x%08X cannot start: no epoll set: %s", id, std::strerror(errno));
        if (ep >= 0) ::close(ep);
        ::close(listenFd_);
        listenFd_ = -1;
        ::unlink(path_.c_str());
        return false;
    }
    epollFd_.store(ep);
    scratch_.resize(wire::kDataHeaderSize + kMaxMessageSize);
    pollNs_ = int64_t(answerPollUs()) * 1000;
    stopping_.store(false);
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        eventStop_ = false;
        events_.clear();
    }
    gate_.reopen();
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        connsClosed_ = false;
    }
    running_.store(true, std::memory_order_release);
    recvThread_ = std::thread(&Endpoint::receiveLoop, this);
    eventThread_ = std::thread(&Endpoint::eventLoop, this);
    if (!layer().join(shared_from_this(), joinWaitMs())) {
        stop();
        return false;
    }
    joined_.store(true, std::memory_order_release);
    return true;
}

void Endpoint::stop() {
    auto self = std::this_thread::get_id();
    bool beside = false;
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        beside = besideThread_.get_id() == self;
    }
    if (self == recvThreadId_.load() || self == eventThread_.get_id() || beside) {
        TA_LOG(3, "termination 0x%08lX: stop() called from one of its own callbacks; not stopped", id_.value());
        return;
    }
    if (!running_.exchange(false)) return;
    joined_.store(false);
    layer().leave(*this);
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        eventStop_ = true;
        events_.clear();
    }
    eventCv_.notify_all();
    if (eventThread_.joinable()) eventThread_.join();
    stopping_.store(true);
    sock::wake(wakeFd_);
    if (recvThread_.joinable()) recvThread_.join();
    recvThreadId_.store(std::thread::id());
    gate_.close();
}

// ---------------------------------------------------------------------------
// Event thread

void Endpoint::postAppeared(uint32_t peer) {
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        if (eventStop_) return;
        events_.emplace_back(true, peer);
    }
    eventCv_.notify_one();
}

void Endpoint::postDisappeared(uint32_t peer) {
    {
        std::lock_guard<std::mutex> lock(eventMutex_);
        if (eventStop_) return;
        if (appearing_ && appearingPeer_ == peer && !besideThread_.joinable()) {
            // The owner may be waiting on that very peer while it handles its
            // appearance (a call to it): told beside, its wait ends now
            // instead of when the call times out. Later events wait for it.
            besideThread_ = std::thread([this, peer] {
                pthread_setname_np(pthread_self(), "TrspEvent");
                owner_.disappeare(layer().handle(peer));
            });
            return;
        }
        events_.emplace_back(false, peer);
    }
    eventCv_.notify_one();
}

void Endpoint::eventLoop() {
    pthread_setname_np(pthread_self(), "TrspEvent");
    for (;;) {
        std::pair<bool, uint32_t> e;
        {
            std::unique_lock<std::mutex> lock(eventMutex_);
            eventCv_.wait(lock, [&] { return eventStop_ || !events_.empty(); });
            if (eventStop_) return;
            e = events_.front();
            events_.pop_front();
        }
        Termination& t = layer().handle(e.second);
        if (e.first) {
            {
                std::lock_guard<std::mutex> lock(eventMutex_);
                appearing_ = true;
                appearingPeer_ = e.second;
            }
            owner_.appeared(t);
        } else {
            owner_.disappeare(t);
        }
        std::thread beside;
        {
            std::lock_guard<std::mutex> lock(eventMutex_);
            appearing_ = false;
            beside = std::move(besideThread_);
        }
        if (beside.joinable()) beside.join();
    }
}


}  // namespace Transport
