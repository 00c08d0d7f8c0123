// Endpoint, receiving thread ("TrspRecv"): accepts connections, reads
// frames and calls receive()/receiveError(), flushes queues that got room,
// and at stop hands back what arrived undelivered.
#include <poll.h>
#include <pthread.h>
#include <sched.h>
#include <sys/epoll.h>
#include <sys/socket.h>
#include <sys/uio.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include "Chaos.h"
#include "Endpoint.h"
#include "EndpointInternal.h"
#include "Log.h"
#include "MessageAccess.h"
#include "PollGate.h"
#include "Socket.h"

namespace Transport {

using namespace endpoint;

namespace {

int64_t steadyNs() { return Clock::now().time_since_epoch().count(); }

}  // namespace

void Endpoint::receiveLoop() {
    pthread_setname_np(pthread_self(), "TrspRecv");
    recvThreadId_.store(std::this_thread::get_id());
    int const ep = epollFd_.load();
    struct epoll_event events[kMaxEvents];
    int64_t pausedUntil = 0;
    gateCheckedAt_ = steadyNs();
    gateOpen_ = pollNs_ > 0 && pollgate::threadMayLook();
    while (!stopping_.load()) {
        bool const looking = pollNs_ > 0 && lookForNext(pausedUntil);
        handedOver_ = false;
        auto const t0 = Clock::now();
        int n = ::epoll_wait(ep, events, kMaxEvents, looking ? 0 : -1);
        // Whether what this batch hands over may be an awaited answer (its
        // request may have been sent while we slept).
        answerMayCome_ = pollNs_ > 0 && n > 0 && owner_.awaitsAnswer();
        if (n < 0) {
            if (errno != EINTR)
                TA_LOG(3, "termination 0x%08lX: epoll_wait failed: %s", id_.value(), std::strerror(errno));
            continue;
        }
        // A wait that returned at once means data was already queued; only
        // then is it worth reading on until the socket is empty.
        bool burst = !looking && Clock::now() - t0 < std::chrono::microseconds(5);
        bool woken = false;
        for (int i = 0; i < n; ++i) {
            uint64_t tag = events[i].data.u64;
            uint32_t rev = events[i].events;
            switch (tag & kTagRoleMask) {
            case kTagWake:
                sock::drainWake(wakeFd_);
                woken = true;
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
            case kTagTaken:  // its work was done by waking us
                break;
            case kTagOut:
                serviceOut(uint32_t(tag), uint32_t(tag >> 32) & kOutSerialMask, rev);
                break;
            }
        }
        for (uint64_t key : closedIn_) in_.erase(key);
        closedIn_.clear();
        // Every hand-back is queued with a wake-up.
        if (woken) deliverHandbacks();
    }
    shutdownReceiving();
}

// Right after a send, its answer is usually on the way, and a request that
// follows closely on its predecessor usually has a successor: looking for
// it instead of sleeping saves its sender the wake-up, which costs more than
// the whole call on a virtual machine. So we look while our owner awaits an
// answer to a request sent within the window, and while requests keep
// coming within the window, and nowhere else. First, a thread that our
// callbacks have just woken on this CPU runs (a caller handed its answer
// sends its next request, a worker its reply), and so does any other work
// of this CPU: each look yields, and so does the decision after an answer
// was handed over. A yield that lasted means that other work wants this
// CPU: a sleeper is woken ahead of it while one that yields waits its turn,
// so we stop looking for a while.
bool Endpoint::lookForNext(int64_t& pausedUntil) {
    int64_t const now = steadyNs();
    // An answer to a request sent within the window to a receiver beside us.
    bool const answered = handedOver_ && answerMayCome_ && now - lastSend_.load(std::memory_order_relaxed) < pollNs_;
    if (now < pausedUntil || (!answered && !wantsLook(now)) || !gateOpen(now)) return false;
    ::sched_yield();
    int64_t const after = steadyNs();
    bool const look = wantsLook(after);
    // After an answer, the yield ran its caller: lasting is no news then,
    // unless the caller sent nothing meanwhile.
    if (after - now > kBusyYieldNs && !(answered && look)) {
        pausedUntil = after + kPollPauseNs;
        return false;
    }
    return look;
}

bool Endpoint::wantsLook(int64_t now) const {
    return now < servingUntil_ || (now - lastSend_.load(std::memory_order_relaxed) < pollNs_ && owner_.awaitsAnswer());
}

// The policy and the control group may change under a running process.
bool Endpoint::gateOpen(int64_t now) {
    if (now - gateCheckedAt_ >= kGateCheckNs) {
        gateOpen_ = pollgate::threadMayLook();
        gateCheckedAt_ = now;
    }
    return gateOpen_;
}

void Endpoint::noteArrival(InConn& c) {
    handedOver_ = true;
    if (pollNs_ <= 0 || !c.peerBeside) return;
    int64_t const now = steadyNs();
    if (now - c.lastArrival < pollNs_) servingUntil_ = now + pollNs_;
    c.lastArrival = now;
}

bool Endpoint::acceptAll() {
    for (int i = 0; i < 64; ++i) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN && errno != EWOULDBLOCK)
                TA_LOG(3, "termination 0x%08lX: accept failed: %s", id_.value(), std::strerror(errno));
            return false;
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
        InConn c{fd, wire::DataFrameReader(uint32_t(id_.value()), kMaxMessageSize), pid, key};
        c.peerBeside = pollNs_ > 0 && pollgate::canRunBeside(pid);
        in_.emplace(key, std::move(c));
    }
    return true;
}

AddressedMessage Endpoint::scratchMessage(wire::DataHeader const& h) const {
    AddressedMessage msg = MessageAccess::createUninitialised(h.length, 8);
    std::memcpy(msg.rawBuf(), scratch_.data() + wire::kDataHeaderSize, h.length);
    msg.setOriginator(TerminationId(static_cast<unsigned long>(h.originator)));
    msg.setDestination(TerminationId(static_cast<unsigned long>(h.destination)));
    return msg;
}

void Endpoint::closeIn(InConn& c, char const* why) {
    if (why)
        TA_LOG(3, "termination 0x%08lX closes the connection from 0x%08X (pid %d): %s", id_.value(), c.reader.peer(),
               int(c.pid), why);
    if (c.reader.identified()) noteHeardFrom(c.reader.peer(), false);
    // Before the close: the number may be reused by the next accept.
    epollDel(epollFd_.load(), c.fd);
    ::close(c.fd);
    c.fd = -1;
    closedIn_.push_back(c.key);
}

ssize_t Endpoint::readFrame(int fd, bool& truncated) {
    struct iovec iov = {scratch_.data(), scratch_.size()};
    struct msghdr mh;
    std::memset(&mh, 0, sizeof mh);
    mh.msg_iov = &iov;
    mh.msg_iovlen = 1;
    ssize_t const n = ::recvmsg(fd, &mh, MSG_DONTWAIT);
    truncated = n > 0 && (mh.msg_flags & MSG_TRUNC) != 0;
    return n;
}

void Endpoint::readFrom(InConn& c, bool burst) {
    for (int budget = burst ? 64 : 1; budget > 0 && !stopping_.load(std::memory_order_relaxed); --budget) {
        bool truncated = false;
        ssize_t n = readFrame(c.fd, truncated);
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
        wire::Verdict v = c.reader.onFrame(scratch_.data(), size_t(n), truncated, h);
        switch (v) {
        case wire::Verdict::Hello:
            noteHeardFrom(h.originator, true);
            break;
        case wire::Verdict::Deliver:
        case wire::Verdict::Bounce: {
            AddressedMessage msg = scratchMessage(h);
            noteArrival(c);
            chaos::at(chaos::Deliver);
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
    // No new connections. Those the listening socket queued were connected,
    // and may have been written to, by senders that know nothing of our
    // stop: take them in, so that what they carry goes back below.
    int const ep = epollFd_.load();
    ::shutdown(listenFd_, SHUT_RD);
    while (acceptAll()) {
    }
    // The name is free for a successor.
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
            bool truncated = false;
            ssize_t n = readFrame(c.fd, truncated);
            if (n <= 0) break;
            wire::DataHeader h;
            wire::Verdict v = c.reader.onFrame(scratch_.data(), size_t(n), truncated, h);
            if (v == wire::Verdict::Deliver)
                bounce(scratchMessage(h));
            else if (v == wire::Verdict::Bounce)
                owner_.receiveError(scratchMessage(h));  // one of ours, on its way back
        }
        epollDel(ep, c.fd);
        ::close(c.fd);
    }
    in_.clear();
    closedIn_.clear();
    {
        std::lock_guard<std::mutex> lock(connsMutex_);
        heardFrom_.clear();
    }
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

}  // namespace Transport
