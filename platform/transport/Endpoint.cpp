#include "Endpoint.h"

#include <poll.h>
#include <pthread.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Layer.h"
#include "Log.h"
#include "MessageAccess.h"
#include "NodeDir.h"
#include "Socket.h"

namespace Transport {
namespace {

using Clock = std::chrono::steady_clock;

int envMs(char const* name, int fallback) {
    char const* v = std::getenv(name);
    if (!v || !*v) return fallback;
    char* end = nullptr;
    long ms = std::strtol(v, &end, 10);
    if (end == v || *end != '\0' || ms < 0 || ms > 3600000) {
        TA_LOG(3, "%s=\"%s\" is not a time in ms, using %d", name, v, fallback);
        return fallback;
    }
    return int(ms);
}

int sendTimeoutMs() {
    static int ms = envMs("TOPADAPTER_SEND_TIMEOUT_MS", 2000);
    return ms;
}

int joinWaitMs() {
    static int ms = envMs("TOPADAPTER_NODED_WAIT_MS", 3000);
    return ms;
}

TransportLayer::Impl& layer() { return TransportLayer::instance().impl(); }

int remainingMs(Clock::time_point deadline) {
    auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Clock::now()).count();
    return left < 0 ? 0 : int(left) + 1;
}

// epoll data of a socket: its role in the top byte, below it the key of an
// incoming connection, or the serial and peer of an outgoing one.
constexpr uint64_t kTagWake = 0;
constexpr uint64_t kTagListen = uint64_t(1) << 56;
constexpr uint64_t kTagIn = uint64_t(2) << 56;
constexpr uint64_t kTagOut = uint64_t(3) << 56;
constexpr uint64_t kTagRoleMask = uint64_t(0xFF) << 56;
constexpr uint64_t kInKeyMask = ~kTagRoleMask;
constexpr uint32_t kOutSerialMask = 0xFFFFFF;

uint64_t outTag(uint32_t peer, uint32_t serial) {
    return kTagOut | (uint64_t(serial & kOutSerialMask) << 32) | peer;
}

bool epollAdd(int ep, int fd, uint64_t tag, uint32_t events = EPOLLIN) {
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

// Events taken per wait: a bound on the stack, and level triggering hands
// the sockets left over to the next wait, behind those already returned.
constexpr int kMaxEvents = 64;

}  // namespace

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
    if (self == recvThreadId_.load() || self == eventThread_.get_id()) {
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
// Sending

bool Endpoint::send(AddressedMessage const& msg) {
    if (doSend(msg)) return true;
    if (gate_.enter()) {
        owner_.issueError(msg);
        gate_.leave();
    }
    return false;
}

bool Endpoint::doSend(AddressedMessage const& msg) {
    if (!running_.load(std::memory_order_acquire) || stopping_.load()) return false;
    if (msg.isNull()) return false;
    uint32_t dest = uint32_t(msg.destination().value());
    if (msg.rawSize() > kMaxMessageSize) {
        TA_LOG(3, "termination 0x%08lX: message of %u bytes to 0x%08X exceeds the largest message (%u); refused",
               id_.value(), msg.rawSize(), dest, kMaxMessageSize);
        return false;
    }
    if (dest == 0 || !layer().exists(dest)) return false;
    msg.setOriginator(id_);

    for (int attempt = 0; attempt < 2; ++attempt) {
        std::shared_ptr<OutConn> c = connection(dest, true);
        if (!c) return false;
        std::unique_lock<std::mutex> lock(c->mutex);
        if (c->dead) {
            // A connection that broke since: the peer may have restarted.
            lock.unlock();
            dropConnection(dest);
            continue;
        }
        if (c->pending.empty()) {
            SendResult r = sendFrame(*c, wire::kData, msg);
            if (r == SendResult::Sent) return true;
            if (r == SendResult::Broken) {
                // Nothing of ours was lost; a restarted peer gets a fresh connection.
                killLocked(*c);
                lock.unlock();
                dropConnection(dest);
                continue;
            }
        }
        auto deadline = Clock::now() + std::chrono::milliseconds(sendTimeoutMs());
        while (!hasRoom(*c, msg.rawSize())) {
            if (!waitForRoom(*c, lock, msg.rawSize(), deadline)) {
                if (!c->dead)
                    TA_LOG(4, "termination 0x%08lX: receiver 0x%08X stayed full for %d ms; message refused",
                           id_.value(), dest, sendTimeoutMs());
                return false;
            }
        }
        if (c->pending.empty()) {
            // The queue drained while we waited: keep the lean path.
            SendResult r = sendFrame(*c, wire::kData, msg);
            if (r == SendResult::Sent) return true;
            if (r == SendResult::Broken) {
                killLocked(*c);
                return false;
            }
        }
        if (!watchOutLocked(*c, true)) return false;
        c->pending.push_back(msg);
        c->pendingBytes += msg.rawSize();
        return true;
    }
    return false;
}

bool Endpoint::hasRoom(OutConn const& c, size_t bytes) {
    return c.pending.size() < kMaxPendingMessages && c.pendingBytes + bytes <= kMaxPendingBytes;
}

bool Endpoint::waitForRoom(OutConn& c, std::unique_lock<std::mutex>& lock, size_t bytes,
                           Clock::time_point deadline) {
    for (;;) {
        if (c.dead) return false;
        if (hasRoom(c, bytes)) return true;
        if (Clock::now() >= deadline) return false;
        if (std::this_thread::get_id() == recvThreadId_.load()) {
            // Issued from our own callback: nobody else would flush.
            struct pollfd p = {c.fd, POLLOUT, 0};
            ::poll(&p, 1, remainingMs(deadline));
            if (flushLocked(c) == SendResult::Broken) killLocked(c);
        } else {
            c.room.wait_until(lock, deadline);
        }
    }
}

std::shared_ptr<Endpoint::OutConn> Endpoint::connection(uint32_t peer, bool create) {
    std::lock_guard<std::mutex> lock(connsMutex_);
    auto it = conns_.find(peer);
    if (it != conns_.end()) return it->second;
    if (!create || connsClosed_) return nullptr;
    std::string path = sock::terminationPath(peer);
    int fd = -1;
    auto deadline = Clock::now() + std::chrono::milliseconds(sendTimeoutMs());
    for (;;) {
        fd = sock::connectTo(path, true);
        if (fd >= 0 || errno != EAGAIN || Clock::now() >= deadline) break;
        // The receiver's accept backlog is full; it drains it on its next poll.
        struct timespec ts = {0, 1000000};
        ::nanosleep(&ts, nullptr);
    }
    if (fd < 0) {
        TA_LOG(4, "termination 0x%08lX cannot connect to termination 0x%08X: %s", id_.value(), peer,
               std::strerror(errno));
        return nullptr;
    }
    uid_t uid;
    pid_t pid;
    if (!sock::peerIsOwnUser(fd, uid, pid)) {
        TA_LOG(3, "termination 0x%08lX refuses to send to 0x%08X: its socket is held by uid %u (pid %d), not this user",
               id_.value(), peer, unsigned(uid), int(pid));
        ::close(fd);
        return nullptr;
    }
    auto c = std::make_shared<OutConn>();
    c->peer = peer;
    c->serial = ++nextOutSerial_;
    c->fd = fd;
    uint8_t hello[wire::kDataHeaderSize];
    wire::encodeDataHeader(hello, wire::DataHeader{wire::kHello, uint32_t(id_.value()), peer, 0});
    if (::send(fd, hello, sizeof hello, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof hello)) {
        TA_LOG(4, "termination 0x%08lX cannot greet termination 0x%08X: %s", id_.value(), peer, std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    conns_[peer] = c;
    return c;
}

void Endpoint::dropConnection(uint32_t peer) {
    std::shared_ptr<OutConn> c;
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        auto it = conns_.find(peer);
        if (it == conns_.end()) return;
        c = it->second;
        {
            std::lock_guard<std::mutex> cl(c->mutex);
            if (!c->dead) return;  // replaced by a live one meanwhile
        }
        conns_.erase(it);
    }
}

void Endpoint::peerGone(uint32_t peer) {
    std::shared_ptr<OutConn> c;
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        auto it = conns_.find(peer);
        if (it == conns_.end()) return;
        c = it->second;
        conns_.erase(it);
    }
    std::lock_guard<std::mutex> cl(c->mutex);
    killLocked(*c);
}

Endpoint::SendResult Endpoint::sendFrame(OutConn& c, uint8_t kind, AddressedMessage const& msg) {
    uint8_t hdr[wire::kDataHeaderSize];
    wire::encodeDataHeader(hdr, wire::DataHeader{kind, uint32_t(msg.originator().value()),
                                                 uint32_t(msg.destination().value()), msg.rawSize()});
    struct iovec iov[2] = {{hdr, sizeof hdr}, {msg.rawBuf(), msg.rawSize()}};
    struct msghdr mh;
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = iov;
    mh.msg_iovlen = msg.rawSize() ? 2 : 1;
    for (;;) {
        ssize_t n = ::sendmsg(c.fd, &mh, MSG_DONTWAIT | MSG_NOSIGNAL);
        if (n >= 0) return SendResult::Sent;
        if (errno == EINTR) continue;
        if (errno == EAGAIN || errno == EWOULDBLOCK) return SendResult::Full;
        if (errno != EPIPE && errno != ECONNRESET && errno != ECONNREFUSED && errno != ENOTCONN)
            TA_LOG(3, "termination 0x%08lX: sending to 0x%08X failed: %s", id_.value(), c.peer, std::strerror(errno));
        return SendResult::Broken;
    }
}

Endpoint::SendResult Endpoint::flushLocked(OutConn& c) {
    SendResult r = SendResult::Sent;
    size_t before = c.pending.size();
    while (!c.pending.empty()) {
        r = sendFrame(c, wire::kData, c.pending.front());
        if (r != SendResult::Sent) break;
        c.pendingBytes -= c.pending.front().rawSize();
        c.pending.pop_front();
    }
    if (c.pending.size() != before) c.room.notify_all();
    return r;
}

void Endpoint::killLocked(OutConn& c) {
    if (c.dead) return;
    c.dead = true;
    watchOutLocked(c, false);
    c.watched = false;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    if (!c.pending.empty()) {
        queueHandback(c.pending);
        c.pending.clear();
        c.pendingBytes = 0;
    }
    c.room.notify_all();
}

bool Endpoint::watchOutLocked(OutConn& c, bool on) {
    if (c.watched == on || c.fd < 0) return true;
    std::lock_guard<std::mutex> lock(epollMutex_);
    int ep = epollFd_.load();
    if (ep < 0) return false;
    bool ok = on ? epollAdd(ep, c.fd, outTag(c.peer, c.serial), EPOLLOUT) : epollDel(ep, c.fd);
    if (!ok) {
        TA_LOG(3, "termination 0x%08lX cannot %s the connection to 0x%08X for room: %s", id_.value(),
               on ? "watch" : "unwatch", c.peer, std::strerror(errno));
        return false;
    }
    c.watched = on;
    return true;
}

void Endpoint::queueHandback(std::deque<AddressedMessage>& msgs) {
    {
        std::lock_guard<std::mutex> lock(handbackMutex_);
        for (auto& m : msgs) handback_.push_back(m);
    }
    if (wakeFd_ >= 0) sock::wake(wakeFd_);
}

// ---------------------------------------------------------------------------
// Receiving thread

void Endpoint::receiveLoop() {
    pthread_setname_np(pthread_self(), "TrspRecv");
    recvThreadId_.store(std::this_thread::get_id());
    int const ep = epollFd_.load();
    struct epoll_event events[kMaxEvents];
    while (!stopping_.load()) {
        auto t0 = Clock::now();
        int n = ::epoll_wait(ep, events, kMaxEvents, -1);
        if (n < 0) {
            if (errno != EINTR)
                TA_LOG(3, "termination 0x%08lX: epoll_wait failed: %s", id_.value(), std::strerror(errno));
            continue;
        }
        // TODO(perf): a wait that returned at once means data was already
        // queued; only then is it worth reading on until the socket is empty.
        bool burst = Clock::now() - t0 < std::chrono::microseconds(5);
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events[i].data.u64;
            uint32_t rev = events[i].events;
            switch (tag & kTagRoleMask) {
            case kTagWake:
                sock::drainWake(wakeFd_);
                break;
            case kTagListen:
                acceptAll();
                break;
            case kTagIn: {
                auto it = in_.find(tag & kInKeyMask);
                if (it == in_.end() || it->second.fd < 0) break;  // closed earlier in this batch
                if (rev & EPOLLIN)
                    readFrom(it->second, burst);
                else
                    closeIn(it->second, nullptr);
                break;
            }
            case kTagOut:
                serviceOut(uint32_t(tag), uint32_t(tag >> 32) & kOutSerialMask, rev);
                break;
            }
        }
        for (uint64_t key : closedIn_) in_.erase(key);
        closedIn_.clear();
        deliverHandbacks();
    }
    shutdownReceiving();
}

void Endpoint::acceptAll() {
    for (int i = 0; i < 64; ++i) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TA_LOG(3, "termination 0x%08lX: accept failed: %s", id_.value(), std::strerror(errno));
            return;
        }
        uid_t uid;
        pid_t pid;
        if (!sock::peerIsOwnUser(fd, uid, pid)) {
            TA_LOG(3, "termination 0x%08lX refuses a connection from uid %u (pid %d): not its own user", id_.value(),
                   unsigned(uid), int(pid));
            ::close(fd);
            continue;
        }
        uint64_t key = nextInKey_++ & kInKeyMask;
        if (!epollAdd(epollFd_.load(), fd, kTagIn | key)) {
            TA_LOG(3, "termination 0x%08lX refuses a connection from pid %d: cannot watch it: %s", id_.value(),
                   int(pid), std::strerror(errno));
            ::close(fd);
            continue;
        }
        in_.emplace(key, InConn{fd, wire::DataFrameReader(uint32_t(id_.value()), kMaxMessageSize), pid, key});
    }
}

void Endpoint::closeIn(InConn& c, char const* why) {
    if (why)
        TA_LOG(3, "termination 0x%08lX closes the connection from 0x%08X (pid %d): %s", id_.value(), c.reader.peer(),
               int(c.pid), why);
    // Before the close: the number may be reused by the next accept.
    epollDel(epollFd_.load(), c.fd);
    ::close(c.fd);
    c.fd = -1;
    closedIn_.push_back(c.key);
}

void Endpoint::readFrom(InConn& c, bool burst) {
    for (int budget = burst ? 64 : 1; budget > 0 && !stopping_.load(std::memory_order_relaxed); --budget) {
        struct iovec iov = {scratch_.data(), scratch_.size()};
        struct msghdr mh;
        std::memset(&mh, 0, sizeof mh);
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = ::recvmsg(c.fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) closeIn(c, std::strerror(errno));
            return;
        }
        if (n == 0) {
            closeIn(c, nullptr);  // the sender closed: nothing was lost
            return;
        }
        wire::DataHeader h;
        wire::Verdict v = c.reader.onFrame(scratch_.data(), size_t(n), (mh.msg_flags & MSG_TRUNC) != 0, h);
        switch (v) {
        case wire::Verdict::Hello:
            break;
        case wire::Verdict::Deliver:
        case wire::Verdict::Bounce: {
            AddressedMessage msg = MessageAccess::createUninitialised(h.length, 8);
            std::memcpy(msg.rawBuf(), scratch_.data() + wire::kDataHeaderSize, h.length);
            msg.setOriginator(TerminationId(static_cast<unsigned long>(h.originator)));
            msg.setDestination(TerminationId(static_cast<unsigned long>(h.destination)));
            if (v == wire::Verdict::Deliver)
                owner_.receive(msg);
            else
                owner_.receiveError(msg);
            break;
        }
        case wire::Verdict::Drop:
            TA_LOG(3, "termination 0x%08lX dropped a malformed frame of %zd bytes from 0x%08X (pid %d): %s",
                   id_.value(), n, c.reader.peer(), int(c.pid), c.reader.reason());
            break;
        case wire::Verdict::Close:
            closeIn(c, c.reader.reason());
            return;
        }
    }
}

void Endpoint::serviceOut(uint32_t peer, uint32_t serial, uint32_t revents) {
    std::shared_ptr<OutConn> c = connection(peer, false);
    if (!c) return;
    std::unique_lock<std::mutex> lock(c->mutex);
    // An event of an earlier connection to the same peer says nothing about this one.
    if (c->dead || !c->watched || (c->serial & kOutSerialMask) != serial) return;
    SendResult r = (revents & EPOLLOUT) ? flushLocked(*c) : SendResult::Broken;
    if (r == SendResult::Broken) {
        killLocked(*c);
        lock.unlock();
        dropConnection(peer);
        return;
    }
    if (c->pending.empty()) watchOutLocked(*c, false);
}

void Endpoint::deliverHandbacks() {
    std::deque<AddressedMessage> msgs;
    {
        std::lock_guard<std::mutex> lock(handbackMutex_);
        msgs.swap(handback_);
    }
    for (auto const& m : msgs) owner_.receiveError(m);
}

void Endpoint::bounce(AddressedMessage const& msg) {
    uint32_t to = uint32_t(msg.originator().value());
    std::shared_ptr<OutConn> c = connection(to, true);
    bool sent = false;
    if (c) {
        std::unique_lock<std::mutex> lock(c->mutex);
        auto deadline = Clock::now() + std::chrono::milliseconds(100);
        while (!c->dead && !sent && Clock::now() < deadline) {
            if (flushLocked(*c) == SendResult::Sent) {
                SendResult r = sendFrame(*c, wire::kBounce, msg);
                if (r == SendResult::Sent) sent = true;
                if (r == SendResult::Broken) break;
            }
            if (!sent) {
                struct pollfd p = {c->fd, POLLOUT, 0};
                ::poll(&p, 1, remainingMs(deadline));
            }
        }
    }
    if (!sent)
        TA_LOG(4, "termination 0x%08lX could not hand a message back to 0x%08X; dropped", id_.value(), to);
}

void Endpoint::shutdownReceiving() {
    // No new connections; the name is free for a successor.
    int const ep = epollFd_.load();
    epollDel(ep, listenFd_);
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(path_.c_str());
    // Senders now get EPIPE (refused); what reached us undelivered goes back.
    for (auto& e : in_) {
        InConn& c = e.second;
        if (c.fd < 0) continue;
        ::shutdown(c.fd, SHUT_RD);
        for (;;) {
            struct iovec iov = {scratch_.data(), scratch_.size()};
            struct msghdr mh;
            std::memset(&mh, 0, sizeof mh);
            mh.msg_iov = &iov;
            mh.msg_iovlen = 1;
            ssize_t n = ::recvmsg(c.fd, &mh, MSG_DONTWAIT);
            if (n <= 0) break;
            wire::DataHeader h;
            if (c.reader.onFrame(scratch_.data(), size_t(n), (mh.msg_flags & MSG_TRUNC) != 0, h) !=
                wire::Verdict::Deliver)
                continue;
            AddressedMessage msg = MessageAccess::createUninitialised(h.length, 8);
            std::memcpy(msg.rawBuf(), scratch_.data() + wire::kDataHeaderSize, h.length);
            msg.setOriginator(TerminationId(static_cast<unsigned long>(h.originator)));
            msg.setDestination(TerminationId(static_cast<unsigned long>(h.destination)));
            bounce(msg);
        }
        epollDel(ep, c.fd);
        ::close(c.fd);
    }
    in_.clear();
    closedIn_.clear();
    // Our own queued messages: a last try, then back to their originator (us).
    std::map<uint32_t, std::shared_ptr<OutConn>> conns;
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        conns.swap(conns_);
        connsClosed_ = true;
    }
    for (auto& e : conns) {
        std::lock_guard<std::mutex> lock(e.second->mutex);
        if (!e.second->dead) flushLocked(*e.second);
        killLocked(*e.second);
    }
    {
        std::lock_guard<std::mutex> lock(epollMutex_);
        ::close(epollFd_.exchange(-1));
    }
    deliverHandbacks();
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
        if (e.first)
            owner_.appeared(t);
        else
            owner_.disappeare(t);
    }
}

}  // namespace Transport
