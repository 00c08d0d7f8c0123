#include "Layer.h"

#include <poll.h>
#include <pthread.h>
#include <sys/socket.h>
#include <sys/time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstring>

#include "Endpoint.h"
#include "Log.h"
#include "NodeDir.h"
#include "Socket.h"

namespace Transport {

TransportLayer::Impl::Impl() : wakeFd_(sock::makeWakeFd()) {}

void TransportLayer::Impl::ensureThread() {
    if (threadStarted_) return;
    threadStarted_ = true;
    if (sock::standaloneNode()) {
        // No service to follow: the view is the own terminations, always complete.
        haveSnapshot_ = true;
        return;
    }
    thread_ = std::thread(&Impl::run, this);
    thread_.detach();  // the layer lives as long as the process
}

bool TransportLayer::Impl::join(std::shared_ptr<Endpoint> const& ep, int waitMs) {
    uint32_t id = uint32_t(ep->id().value());
    std::unique_lock<std::mutex> lock(mutex_);
    if (locals_.count(id)) {
        TA_LOG(3, "termination 0x%08X is already started in this process", id);
        return false;
    }
    locals_[id] = Local{ep, JoinState::Pending};
    ensureThread();
    if (sock::standaloneNode()) {
        lock.unlock();
        std::lock_guard<std::mutex> events(standaloneEvents_);
        applyJoined(id);
        return true;
    }
    if (serviceFd_ >= 0)
        sendLocked(wire::kJoin, id);  // else sent by the membership thread once connected
    else
        sock::wake(wakeFd_);
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    joinCv_.wait_until(lock, deadline, [&] {
        auto it = locals_.find(id);
        return it == locals_.end() || it->second.state != JoinState::Pending;
    });
    auto it = locals_.find(id);
    if (it != locals_.end() && it->second.state == JoinState::Joined) return true;
    if (it != locals_.end() && it->second.state == JoinState::Refused) {
        TA_LOG(3, "termination 0x%08X refused by the membership service: the id is in use", id);
    } else {
        TA_LOG(3, "membership service at %s did not acknowledge termination 0x%08X within %d ms",
               sock::servicePath().c_str(), id, waitMs);
        if (serviceFd_ >= 0) sendLocked(wire::kLeave, id);
    }
    if (it != locals_.end() && it->second.ep == ep) locals_.erase(it);
    return false;
}

void TransportLayer::Impl::leave(Endpoint const& ep) {
    uint32_t id = uint32_t(ep.id().value());
    std::unique_lock<std::mutex> lock(mutex_);
    auto it = locals_.find(id);
    if (it == locals_.end() || it->second.ep.get() != &ep) return;
    locals_.erase(it);
    if (sock::standaloneNode()) {
        lock.unlock();
        std::lock_guard<std::mutex> events(standaloneEvents_);
        applyLeft(id);
        return;
    }
    if (serviceFd_ >= 0) sendLocked(wire::kLeave, id);
}

bool TransportLayer::Impl::sendLocked(uint8_t kind, uint32_t id) {
    std::vector<uint8_t> f = wire::encodeNodeFrame(kind, id);
    // Blocking with a send time-out: the service drains its sockets quickly.
    ssize_t n = ::send(serviceFd_, f.data(), f.size(), MSG_NOSIGNAL);
    if (n != ssize_t(f.size())) {
        // The membership thread sees the broken connection and re-announces.
        TA_LOG(4, "membership service: sending %s of 0x%08X failed: %s", kind == wire::kJoin ? "JOIN" : "LEAVE", id,
               std::strerror(errno));
        return false;
    }
    return true;
}

// Until the service's first snapshot is read, the view lacks every member:
// a termination answering a peer that greeted it the moment it joined would
// find the peer absent. The first look waits for it, once.
void TransportLayer::Impl::ensureView(std::unique_lock<std::mutex>& lock) const {
    if (haveSnapshot_ || viewAwaited_) return;
    const_cast<Impl*>(this)->ensureThread();
    snapshotCv_.wait_for(lock, std::chrono::milliseconds(500), [&] { return haveSnapshot_; });
    viewAwaited_ = true;
}

bool TransportLayer::Impl::exists(uint32_t id) const {
    std::unique_lock<std::mutex> lock(mutex_);
    ensureView(lock);
    return members_.count(id) != 0;
}

std::list<TerminationId> TransportLayer::Impl::members(int group) const {
    std::list<TerminationId> out;
    std::unique_lock<std::mutex> lock(mutex_);
    ensureView(lock);
    for (uint32_t id : members_)
        if (group < 0 || int(id & 0xFFu) == group) out.push_back(TerminationId(static_cast<unsigned long>(id)));
    return out;
}

// A termination whose join is still to be acknowledged here may already be
// known to other processes (the service tells everyone at once) and receive
// their messages: it may answer them.
std::shared_ptr<Endpoint> TransportLayer::Impl::local(uint32_t id) const {
    std::lock_guard<std::mutex> lock(mutex_);
    auto it = locals_.find(id);
    if (it == locals_.end() || it->second.state == JoinState::Refused) return nullptr;
    return it->second.ep;
}

Termination& TransportLayer::Impl::handle(uint32_t id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = handles_[id];
    if (!slot) slot.reset(new Termination(TerminationId(static_cast<unsigned long>(id))));
    return *slot;
}

Group& TransportLayer::Impl::group(GroupId id) {
    std::lock_guard<std::mutex> lock(mutex_);
    auto& slot = groups_[static_cast<unsigned char>(id)];
    if (!slot) slot.reset(new Group(id));
    return *slot;
}

// ---------------------------------------------------------------------------
// Membership thread

bool TransportLayer::Impl::connectService() {
    std::string path = sock::servicePath();
    int fd = sock::connectTo(path, false);
    if (fd < 0) {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!reportedUnreachable_ && !locals_.empty()) {
            reportedUnreachable_ = true;
            TA_LOG(4, "membership service not reachable at %s (%s), retrying", path.c_str(), std::strerror(errno));
        }
        return false;
    }
    uid_t uid;
    pid_t pid;
    if (!sock::peerIsOwnUser(fd, uid, pid)) {
        TA_LOG(3, "membership service at %s runs as uid %u (pid %d), not as this user; not used", path.c_str(),
               unsigned(uid), int(pid));
        ::close(fd);
        return false;
    }
    struct timeval tv = {1, 0};
    ::setsockopt(fd, SOL_SOCKET, SO_SNDTIMEO, &tv, sizeof tv);
    std::lock_guard<std::mutex> lock(mutex_);
    serviceFd_ = fd;
    reportedUnreachable_ = false;
    if (everConnected_) TA_LOG(4, "membership service connection restored (%s)", path.c_str());
    everConnected_ = true;
    for (auto const& l : locals_) sendLocked(wire::kJoin, l.first);
    return true;
}

void TransportLayer::Impl::run() {
    pthread_setname_np(pthread_self(), "TrspNode");
    std::vector<uint8_t> buf(wire::kNodeHeaderSize + 4 * wire::kMaxSnapshotIds + 1);
    for (;;) {
        if (serviceFd_ < 0 && !connectService()) {
            struct pollfd w = {wakeFd_, POLLIN, 0};
            ::poll(&w, 1, 20);
            sock::drainWake(wakeFd_);
            continue;
        }
        struct pollfd fds[2] = {{serviceFd_, POLLIN, 0}, {wakeFd_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0) continue;
        if (fds[1].revents) sock::drainWake(wakeFd_);
        if (!fds[0].revents) continue;
        bool lost = false;
        for (int i = 0; i < 64; ++i) {
            ssize_t n = ::recv(serviceFd_, buf.data(), buf.size(), MSG_DONTWAIT | MSG_TRUNC);
            if (n < 0 && errno == EINTR) continue;
            if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) break;
            if (n <= 0) {
                lost = true;
                break;
            }
            wire::NodeFrame f;
            char const* why = "";
            if (size_t(n) > buf.size() || !wire::decodeNodeFrame(buf.data(), size_t(n), f, why)) {
                TA_LOG(3, "membership service sent a malformed frame (%zd bytes): %s; dropped", n,
                       size_t(n) > buf.size() ? "too long" : why);
                continue;
            }
            handleFrame(f);
        }
        if (lost) {
            {
                std::lock_guard<std::mutex> lock(mutex_);
                ::close(serviceFd_);
                serviceFd_ = -1;
            }
            TA_LOG(3, "membership service connection lost (%s); reconnecting", sock::servicePath().c_str());
        }
    }
}

void TransportLayer::Impl::handleFrame(wire::NodeFrame const& f) {
    switch (f.kind) {
    case wire::kSnapshot: {
        std::set<uint32_t> now(f.ids.begin(), f.ids.end());
        std::vector<uint32_t> gone, added;
        {
            std::lock_guard<std::mutex> lock(mutex_);
            // Own terminations are re-announced; their JOINED follows.
            for (uint32_t id : members_)
                if (!now.count(id) && !locals_.count(id)) gone.push_back(id);
            for (uint32_t id : now)
                if (!members_.count(id) && !locals_.count(id)) added.push_back(id);
        }
        for (uint32_t id : gone) applyLeft(id);
        for (uint32_t id : added) applyJoined(id);
        std::lock_guard<std::mutex> lock(mutex_);
        haveSnapshot_ = true;
        snapshotCv_.notify_all();
        break;
    }
    case wire::kJoined:
        applyJoined(f.id);
        break;
    case wire::kLeft:
        applyLeft(f.id);
        break;
    case wire::kRefused: {
        std::lock_guard<std::mutex> lock(mutex_);
        auto it = locals_.find(f.id);
        if (it != locals_.end() && it->second.state == JoinState::Pending) {
            it->second.state = JoinState::Refused;
            joinCv_.notify_all();
        } else if (it != locals_.end()) {
            // Re-announced after a service restart, but somebody took the id meanwhile.
            TA_LOG(3, "termination 0x%08X lost its id to another process while the membership service was away",
                   f.id);
        }
        break;
    }
    default:
        TA_LOG(3, "membership service sent frame kind %u, which only processes send; dropped", unsigned(f.kind));
        break;
    }
}

void TransportLayer::Impl::applyJoined(uint32_t id) {
    std::shared_ptr<Endpoint> self;
    std::vector<uint32_t> present;
    std::vector<std::shared_ptr<Endpoint>> others;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        auto own = locals_.find(id);
        bool acknowledging = own != locals_.end() && own->second.state == JoinState::Pending;
        if (members_.count(id) && !acknowledging) return;
        members_.insert(id);
        if (acknowledging) {
            own->second.state = JoinState::Joined;
            self = own->second.ep;
            for (uint32_t m : members_)
                if (m != id) present.push_back(m);
            joinCv_.notify_all();
        }
        for (auto const& l : locals_)
            if (l.first != id && l.second.state == JoinState::Joined) others.push_back(l.second.ep);
    }
    // Only this thread posts events, so a late joiner's view of the present
    // members and the events after it never overlap or leave a gap.
    if (self)
        for (uint32_t m : present) self->postAppeared(m);
    for (auto const& ep : others) ep->postAppeared(id);
}

void TransportLayer::Impl::applyLeft(uint32_t id) {
    std::vector<std::shared_ptr<Endpoint>> others;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (!members_.erase(id)) return;
        for (auto const& l : locals_)
            if (l.first != id && l.second.state == JoinState::Joined) others.push_back(l.second.ep);
    }
    for (auto const& ep : others) {
        ep->peerGone(id);
        ep->postDisappeared(id);
    }
}

// ---------------------------------------------------------------------------
// Public façade

TransportLayer::TransportLayer() : impl_(new Impl) {}

TransportLayer& TransportLayer::instance() {
    static TransportLayer* layer = new TransportLayer;
    return *layer;
}

Termination& TransportLayer::getTermination(TerminationId const& id) {
    return impl_->handle(uint32_t(id.value()));
}

bool TransportLayer::exists(TerminationId const& id) const { return impl_->exists(uint32_t(id.value())); }

std::list<TerminationId> TransportLayer::getTerminations() const { return impl_->members(-1); }

Group& TransportLayer::getGroup(GroupId const& id) { return impl_->group(id); }

std::list<TerminationId> Group::contains() const {
    return TransportLayer::instance().impl().members(static_cast<unsigned char>(id_));
}

bool Termination::exists() const { return TransportLayer::instance().exists(id_); }

bool Termination::issue(AddressedMessage const& msg) {
    if (msg.isNull()) {
        TA_LOG(3, "issue of a null message to termination 0x%08lX refused", id_.value());
        return false;
    }
    std::shared_ptr<Endpoint> from = TransportLayer::instance().impl().local(uint32_t(msg.originator().value()));
    if (!from) {
        TA_LOG(3, "issue to termination 0x%08lX refused: originator 0x%08lX is no started termination of this process",
               id_.value(), msg.originator().value());
        return false;
    }
    msg.setDestination(id_);
    return from->send(msg);
}

}  // namespace Transport
