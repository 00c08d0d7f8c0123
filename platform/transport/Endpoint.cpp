#include "Endpoint.h"

#include <poll.h>
#include <pthread.h>
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
    scratch_.resize(wire::kDataHeaderSize + kMaxMessageSize);
    stopping_.store(false);
    pollDirty_.store(true);
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
        c->pending.push_back(msg);
        c->pendingBytes += msg.rawSize();
        if (!c->wantOut.exchange(true)) {
            pollDirty_.store(true);
            sock::wake(wakeFd_);
        }
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
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    if (c.wantOut.exchange(false)) pollDirty_.store(true);
    if (!c.pending.empty()) {
        queueHandback(c.pending);
        c.pending.clear();
        c.pendingBytes = 0;
    }
    c.room.notify_all();
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

namespace {
enum Role : uint32_t { kRoleWake = 0, kRoleListen = 1, kRoleIn = 2, kRoleOut = 3 };
struct Slot {
    Role role;
    uint32_t ref;  // index into in_ or peer id
};
}  // namespace

void Endpoint::receiveLoop() {
    pthread_setname_np(pthread_self(), "TrspRecv");
    recvThreadId_.store(std::this_thread::get_id());
    std::vector<struct pollfd> fds;
    std::vector<Slot> slots;
    while (!stopping_.load()) {
        if (pollDirty_.exchange(false)) {
            // Compact closed incoming connections, then list every socket of interest.
            size_t k = 0;
            for (size_t i = 0; i < in_.size(); ++i)
                if (in_[i].fd >= 0) in_[k++] = std::move(in_[i]);
            in_.resize(k, InConn{-1, wire::DataFrameReader(0, 0), 0});
            fds.clear();
            slots.clear();
            fds.push_back({wakeFd_, POLLIN, 0});
            slots.push_back({kRoleWake, 0});
            fds.push_back({listenFd_, POLLIN, 0});
            slots.push_back({kRoleListen, 0});
            for (size_t i = 0; i < in_.size(); ++i) {
                fds.push_back({in_[i].fd, POLLIN, 0});
                slots.push_back({kRoleIn, uint32_t(i)});
            }
            std::lock_guard<std::mutex> lock(connsMutex_);
            for (auto const& c : conns_)
                if (c.second->wantOut.load()) {
                    fds.push_back({c.second->fd, POLLOUT, 0});
                    slots.push_back({kRoleOut, c.first});
                }
        }
        auto t0 = Clock::now();
        int n = ::poll(fds.data(), fds.size(), -1);
        if (n < 0) {
            if (errno != EINTR) TA_LOG(3, "termination 0x%08lX: poll failed: %s", id_.value(), std::strerror(errno));
            continue;
        }
        // TODO(perf): a poll that returned at once means data was already
        // queued; only then is it worth reading on until the socket is empty.
        bool burst = Clock::now() - t0 < std::chrono::microseconds(5);
        for (size_t i = 0; i < fds.size() && n > 0; ++i) {
            short rev = fds[i].revents;
            if (!rev) continue;
            --n;
            switch (slots[i].role) {
            case kRoleWake:
                sock::drainWake(wakeFd_);
                break;
            case kRoleListen:
                acceptAll();
                break;
            case kRoleIn:
                if (in_[slots[i].ref].fd < 0) break;
                if (rev & POLLIN)
                    readFrom(slots[i].ref, burst);
                else
                    closeIn(slots[i].ref, nullptr);
                break;
            case kRoleOut:
                serviceOut(slots[i].ref, rev);
                break;
            }
        }
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
        in_.push_back(InConn{fd, wire::DataFrameReader(uint32_t(id_.value()), kMaxMessageSize), pid});
        pollDirty_.store(true);
    }
}

void Endpoint::closeIn(size_t index, char const* why) {
    InConn& c = in_[index];
    if (why)
        TA_LOG(3, "termination 0x%08lX closes the connection from 0x%08X (pid %d): %s", id_.value(), c.reader.peer(),
               int(c.pid), why);
    ::close(c.fd);
    c.fd = -1;
    pollDirty_.store(true);
}

void Endpoint::readFrom(size_t index, bool burst) {
    for (int budget = burst ? 64 : 1; budget > 0 && !stopping_.load(std::memory_order_relaxed); --budget) {
        InConn& c = in_[index];
        struct iovec iov = {scratch_.data(), scratch_.size()};
        struct msghdr mh;
        std::memset(&mh, 0, sizeof mh);
        mh.msg_iov = &iov;
        mh.msg_iovlen = 1;
        ssize_t n = ::recvmsg(c.fd, &mh, MSG_DONTWAIT);
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK) closeIn(index, std::strerror(errno));
            return;
        }
        if (n == 0) {
            closeIn(index, nullptr);  // the sender closed: nothing was lost
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
            closeIn(index, c.reader.reason());
            return;
        }
    }
}

void Endpoint::serviceOut(uint32_t peer, short revents) {
    std::shared_ptr<OutConn> c = connection(peer, false);
    if (!c) return;
    std::unique_lock<std::mutex> lock(c->mutex);
    if (c->dead) return;
    SendResult r = (revents & POLLOUT) ? flushLocked(*c) : SendResult::Broken;
    if (r == SendResult::Broken) {
        killLocked(*c);
        lock.unlock();
        dropConnection(peer);
        return;
    }
    if (c->pending.empty() && c->wantOut.exchange(false)) pollDirty_.store(true);
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
    ::close(listenFd_);
    listenFd_ = -1;
    ::unlink(path_.c_str());
    // Senders now get EPIPE (refused); what reached us undelivered goes back.
    for (auto& c : in_) {
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
        ::close(c.fd);
    }
    in_.clear();
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
