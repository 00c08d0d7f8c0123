// topnoded: membership service of the node transport.
//
// Every process with started terminations keeps one connection to this
// service (Frame.h, "Membership connection"). The service tells every
// process when a termination joins or leaves; a process that ends, however
// it ends, closes its connection, and all its terminations are reported as
// left at once. Data never passes through here.
//
// Usage: topnoded            (node directory from TOPADAPTER_NODE_DIR)
// Prints "topnoded ready <socket path>" on standard output once it accepts
// connections. Ends on SIGTERM/SIGINT. Exit status 1 when it cannot run
// (unusable node directory, socket), 2 when another instance serves the node.
#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/signalfd.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "Chaos.h"
#include "Frame.h"
#include "Log.h"
#include "NodeDir.h"
#include "Socket.h"

namespace {

using namespace Transport;

constexpr size_t kMaxMembers = 4096;

struct Client {
    int fd;
    pid_t pid;
    std::set<uint32_t> ids;
    unsigned badFrames = 0;
    bool drop = false;
};

class Service {
public:
    explicit Service(int listenFd) : listenFd_(listenFd) {}
    int run(int signalFd);

private:
    void accept();
    void readFrom(Client& c);
    void handle(Client& c, wire::NodeFrame const& f);
    void sendTo(Client& c, std::vector<uint8_t> const& frame);
    void broadcast(uint8_t kind, uint32_t id);
    void dropClients();

    int listenFd_;
    std::map<int, Client> clients_;      // by fd
    std::map<uint32_t, int> owners_;     // termination id -> client fd
};

void Service::sendTo(Client& c, std::vector<uint8_t> const& frame) {
    if (c.drop) return;
    ssize_t n = ::send(c.fd, frame.data(), frame.size(), MSG_DONTWAIT | MSG_NOSIGNAL);
    if (n == ssize_t(frame.size())) return;
    if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK))
        // Thousands of events behind: it reconnects and gets a fresh snapshot.
        TA_LOG(3, "topnoded: process %d does not read its membership events; disconnected", int(c.pid));
    c.drop = true;
}

void Service::broadcast(uint8_t kind, uint32_t id) {
    std::vector<uint8_t> frame = wire::encodeNodeFrame(kind, id);
    // Members hear of a join or a leave each in its own order.
    for (auto& e : clients_) {
        chaos::at(chaos::Membership);
        sendTo(e.second, frame);
    }
}

void Service::accept() {
    for (;;) {
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_NONBLOCK | SOCK_CLOEXEC);
        if (fd < 0) {
            if (errno != EAGAIN && errno != EWOULDBLOCK && errno != EINTR)
                TA_LOG(3, "topnoded: accept failed: %s", std::strerror(errno));
            return;
        }
        uid_t uid;
        pid_t pid;
        if (!sock::peerIsOwnUser(fd, uid, pid)) {
            TA_LOG(3, "topnoded: refusing process %d of uid %u: not this user", int(pid), unsigned(uid));
            ::close(fd);
            continue;
        }
        Client& c = clients_[fd];
        c.fd = fd;
        c.pid = pid;
        std::vector<uint32_t> ids;
        for (auto const& o : owners_) ids.push_back(o.first);
        sendTo(c, wire::encodeNodeFrame(wire::kSnapshot, 0, ids));
    }
}

void Service::handle(Client& c, wire::NodeFrame const& f) {
    switch (f.kind) {
    case wire::kJoin: {
        auto it = owners_.find(f.id);
        if (it != owners_.end() || owners_.size() >= kMaxMembers) {
            if (it == owners_.end())
                TA_LOG(3, "topnoded: node full (%zu terminations); 0x%08X of process %d refused", owners_.size(), f.id,
                       int(c.pid));
            else
                TA_LOG(4, "topnoded: 0x%08X of process %d refused: already joined by process %d", f.id, int(c.pid),
                       int(clients_[it->second].pid));
            sendTo(c, wire::encodeNodeFrame(wire::kRefused, f.id));
            return;
        }
        owners_[f.id] = c.fd;
        c.ids.insert(f.id);
        TA_LOG(5, "topnoded: 0x%08X joined (process %d)", f.id, int(c.pid));
        broadcast(wire::kJoined, f.id);
        return;
    }
    case wire::kLeave: {
        auto it = owners_.find(f.id);
        if (it == owners_.end() || it->second != c.fd) {
            TA_LOG(4, "topnoded: process %d leaves 0x%08X, which it does not own; ignored", int(c.pid), f.id);
            return;
        }
        owners_.erase(it);
        c.ids.erase(f.id);
        TA_LOG(5, "topnoded: 0x%08X left (process %d)", f.id, int(c.pid));
        broadcast(wire::kLeft, f.id);
        return;
    }
    default:
        if (++c.badFrames >= 16) c.drop = true;
        TA_LOG(3, "topnoded: process %d sent frame kind %u, which only the service sends; dropped", int(c.pid),
               unsigned(f.kind));
        return;
    }
}

void Service::readFrom(Client& c) {
    uint8_t buf[512];
    for (int i = 0; i < 64 && !c.drop; ++i) {
        ssize_t n = ::recv(c.fd, buf, sizeof buf, MSG_DONTWAIT | MSG_TRUNC);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0 && (errno == EAGAIN || errno == EWOULDBLOCK)) return;
        if (n <= 0) {
            c.drop = true;  // the process ended or closed the connection
            return;
        }
        wire::NodeFrame f;
        char const* why = "";
        if (size_t(n) > sizeof buf || !wire::decodeNodeFrame(buf, size_t(n), f, why)) {
            TA_LOG(3, "topnoded: malformed frame of %zd bytes from process %d: %s; dropped", n, int(c.pid),
                   size_t(n) > sizeof buf ? "too long" : why);
            if (++c.badFrames >= 16) {
                TA_LOG(3, "topnoded: process %d sent too many malformed frames; disconnected", int(c.pid));
                c.drop = true;
            }
            continue;
        }
        handle(c, f);
    }
}

void Service::dropClients() {
    // Dropping one may make a broadcast fail for another; repeat until stable.
    for (bool again = true; again;) {
        again = false;
        for (auto it = clients_.begin(); it != clients_.end();) {
            if (!it->second.drop) {
                ++it;
                continue;
            }
            std::set<uint32_t> ids = it->second.ids;
            pid_t pid = it->second.pid;
            ::close(it->first);
            it = clients_.erase(it);
            for (uint32_t id : ids) {
                owners_.erase(id);
                TA_LOG(5, "topnoded: 0x%08X left (process %d ended)", id, int(pid));
                broadcast(wire::kLeft, id);
            }
            again = true;
            break;
        }
    }
}

int Service::run(int signalFd) {
    std::vector<struct pollfd> fds;
    for (;;) {
        fds.clear();
        fds.push_back({signalFd, POLLIN, 0});
        fds.push_back({listenFd_, POLLIN, 0});
        for (auto const& e : clients_) fds.push_back({e.first, POLLIN, 0});
        if (::poll(fds.data(), fds.size(), -1) < 0) {
            if (errno == EINTR) continue;
            TA_LOG(3, "topnoded: poll failed: %s", std::strerror(errno));
            return 1;
        }
        if (fds[0].revents) return 0;
        if (fds[1].revents) accept();
        for (size_t i = 2; i < fds.size(); ++i) {
            if (!fds[i].revents) continue;
            auto it = clients_.find(fds[i].fd);
            if (it == clients_.end()) continue;
            if (fds[i].revents & POLLIN)
                readFrom(it->second);
            else
                it->second.drop = true;
        }
        dropClients();
    }
}

}  // namespace

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "--version") == 0) {
        std::printf("topnoded %s\n", TOPADAPTER_VERSION);
        return 0;
    }
    if (argc > 1) {
        std::fprintf(stderr, "usage: %s   (node directory from TOPADAPTER_NODE_DIR)\n", argv[0]);
        return 1;
    }
    sigset_t set;
    sigemptyset(&set);
    sigaddset(&set, SIGTERM);
    sigaddset(&set, SIGINT);
    sigprocmask(SIG_BLOCK, &set, nullptr);
    int signalFd = ::signalfd(-1, &set, SFD_CLOEXEC);
    ::signal(SIGPIPE, SIG_IGN);

    if (!platform::nodeDirectoryOk()) {
        TA_LOG(0, "topnoded: node directory %s is not usable", platform::nodeDirectory().c_str());
        return 1;
    }
    std::string lockPath = sock::serviceLockPath();
    int lockFd = ::open(lockPath.c_str(), O_CREAT | O_RDWR | O_CLOEXEC, 0600);
    if (lockFd < 0 || ::flock(lockFd, LOCK_EX | LOCK_NB) != 0) {
        TA_LOG(0, "topnoded: another instance serves %s (%s)", platform::nodeDirectory().c_str(),
               lockFd < 0 ? std::strerror(errno) : "lock held");
        return 2;
    }
    std::string path = sock::servicePath();
    int listenFd = sock::listenAt(path, 128);
    if (listenFd < 0) {
        TA_LOG(0, "topnoded: cannot listen on %s: %s", path.c_str(), std::strerror(errno));
        return 1;
    }
    std::printf("topnoded ready %s\n", path.c_str());
    std::fflush(stdout);
    TA_LOG(5, "topnoded: serving %s", path.c_str());
    int rc = Service(listenFd).run(signalFd);
    ::close(listenFd);
    ::unlink(path.c_str());
    return rc;
}
