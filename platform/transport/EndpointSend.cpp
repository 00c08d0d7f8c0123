// Endpoint, sending side: one connection per receiver, the bounded queue
// of a full receiver and the hand-back of what it cannot take.
#include <poll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Chaos.h"
#include "Endpoint.h"
#include "EndpointInternal.h"
#include "Log.h"
#include "PollGate.h"
#include "Socket.h"

namespace Transport {

using namespace endpoint;

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
    if (dest == 0 || !present(dest)) return false;
    msg.setOriginator(id_);
    chaos::at(chaos::Send);

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

// The service tells every process of a join at once, but each reads it on
// its own thread: a member that has just joined may reach us first, and our
// answer must not be refused meanwhile.
bool Endpoint::present(uint32_t peer) {
    if (layer().exists(peer)) return true;
    std::lock_guard<std::mutex> lock(connsMutex_);
    return heardFrom_.count(peer) != 0;
}

void Endpoint::noteHeardFrom(uint32_t peer, bool open) {
    std::lock_guard<std::mutex> lock(connsMutex_);
    if (open) {
        ++heardFrom_[peer];
        return;
    }
    auto it = heardFrom_.find(peer);
    if (it != heardFrom_.end() && --it->second == 0) heardFrom_.erase(it);
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
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        auto it = conns_.find(peer);
        if (it != conns_.end()) return it->second;
        if (!create || connsClosed_) return nullptr;
    }
    // Connecting may take up to the send time-out; meanwhile the receiving
    // thread reads greetings, which take the table's mutex.
    std::shared_ptr<OutConn> fresh = connect(peer);
    if (!fresh) return nullptr;
    std::lock_guard<std::mutex> lock(connsMutex_);
    if (connsClosed_) return nullptr;
    // Another sender may have connected meanwhile: everything to one peer
    // goes over one connection, in order, so the later one goes (it carried
    // nothing but its greeting).
    auto it = conns_.find(peer);
    if (it != conns_.end()) return it->second;
    fresh->serial = ++nextOutSerial_;
    conns_[peer] = fresh;
    return fresh;
}

std::shared_ptr<Endpoint::OutConn> Endpoint::connect(uint32_t peer) {
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
    uint8_t hello[wire::kDataHeaderSize];
    wire::encodeDataHeader(hello, wire::DataHeader{wire::kHello, uint32_t(id_.value()), peer, 0});
    if (::send(fd, hello, sizeof hello, MSG_DONTWAIT | MSG_NOSIGNAL) != ssize_t(sizeof hello)) {
        TA_LOG(4, "termination 0x%08lX cannot greet termination 0x%08X: %s", id_.value(), peer, std::strerror(errno));
        ::close(fd);
        return nullptr;
    }
    auto c = std::make_shared<OutConn>();
    c->peer = peer;
    c->fd = fd;
    c->receiverBeside = pollgate::canRunBeside(pid);
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
        if (n >= 0) {
            // Where we look for answers, the look keeps our CPU awake;
            // elsewhere the receiver's takes may wake it.
            if (c.receiverBeside && pollNs_ > 0)
                lastSend_.store(Clock::now().time_since_epoch().count(), std::memory_order_relaxed);
            else if (c.receiverBeside)
                noteFrameSent(c);
            return SendResult::Sent;
        }
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
    registerOutLocked(c, false, false);
    c.watched = c.followsTakes = false;
    if (c.fd >= 0) ::close(c.fd);
    c.fd = -1;
    if (!c.pending.empty()) {
        queueHandback(c.pending);
        c.pending.clear();
        c.pendingBytes = 0;
    }
    c.room.notify_all();
}

bool Endpoint::watchOutLocked(OutConn& c, bool on) { return c.watched == on || registerOutLocked(c, on, c.followsTakes); }

// An idle CPU of a virtual machine takes longer to wake than the whole call
// takes to serve. The receiver taking our frame frees its room in our
// socket, and that wake-up lands while the answer is being made: the answer
// then finds our CPU awake. Between sparse frames it would only cost a wake.
void Endpoint::noteFrameSent(OutConn& c) {
    int64_t const now = Clock::now().time_since_epoch().count();
    bool const close = now - c.lastFrame < kCloseFramesNs;
    c.lastFrame = now;
    if (close != c.followsTakes) registerOutLocked(c, c.watched, close);
}

bool Endpoint::registerOutLocked(OutConn& c, bool watch, bool follow) {
    if (c.fd < 0) return true;
    std::lock_guard<std::mutex> lock(epollMutex_);
    int ep = epollFd_.load();
    if (ep < 0) return false;
    bool ok = true;
    if (watch)
        ok = epollAdd(ep, c.fd, outTag(c.peer, c.serial), EPOLLOUT);
    else if (follow)
        ok = epollAdd(ep, c.fd, kTagTaken, EPOLLOUT | EPOLLET);
    else if (c.watched || c.followsTakes)
        ok = epollDel(ep, c.fd);
    if (!ok) {
        TA_LOG(3, "termination 0x%08lX cannot %s the connection to 0x%08X: %s", id_.value(),
               watch ? "watch" : follow ? "follow" : "unwatch", c.peer, std::strerror(errno));
        return false;
    }
    c.watched = watch;
    c.followsTakes = follow;
    return true;
}

void Endpoint::queueHandback(std::deque<AddressedMessage>& msgs) {
    {
        std::lock_guard<std::mutex> lock(handbackMutex_);
        for (auto& m : msgs) handback_.push_back(m);
    }
    if (wakeFd_ >= 0) sock::wake(wakeFd_);
}

}  // namespace Transport
