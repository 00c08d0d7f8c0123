#include "Socket.h"

#include <fcntl.h>
#include <sys/eventfd.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <cstring>

#include "NodeDir.h"

namespace Transport {
namespace sock {
namespace {

bool makeAddress(std::string const& path, sockaddr_un& addr) {
    std::memset(&addr, 0, sizeof addr);
    addr.sun_family = AF_UNIX;
    if (path.size() >= sizeof addr.sun_path) {
        errno = ENAMETOOLONG;
        return false;
    }
    std::memcpy(addr.sun_path, path.c_str(), path.size() + 1);
    return true;
}

}  // namespace

bool standaloneNode() {
    static bool const value = [] {
        char const* v = std::getenv("TOPADAPTER_NODED");
        return v && std::strcmp(v, "none") == 0;
    }();
    return value;
}

namespace {

// Standalone nodes of several processes share the node directory; each keeps
// its sockets apart, so that equal termination ids do not collide.
std::string const& socketDirectory() {
    static std::string const* dir = [] {
        if (!standaloneNode()) return new std::string(platform::nodeDirectory());
        std::string* d = new std::string(platform::nodeDirectory() + "/solo-" + std::to_string(::getpid()));
        ::mkdir(d->c_str(), 0700);
        std::atexit([] { ::rmdir(socketDirectory().c_str()); });
        return d;
    }();
    return *dir;
}

}  // namespace

std::string terminationPath(uint32_t id) {
    char name[32];
    std::snprintf(name, sizeof name, "/t-%08x.sock", static_cast<unsigned>(id));
    return socketDirectory() + name;
}

std::string servicePath() { return platform::nodeDirectory() + "/topnoded.sock"; }
std::string serviceLockPath() { return platform::nodeDirectory() + "/topnoded.lock"; }

int listenAt(std::string const& path, int backlog) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
    if (fd < 0) return -1;
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        if (errno != EADDRINUSE) {
            int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
        // Somebody listening there owns the name; a dead socket file is ours to replace.
        int probe = connectTo(path, true);
        if (probe >= 0 || errno == EAGAIN) {
            if (probe >= 0) ::close(probe);
            ::close(fd);
            errno = EADDRINUSE;
            return -1;
        }
        ::unlink(path.c_str());
        if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
            int e = errno;
            ::close(fd);
            errno = e;
            return -1;
        }
    }
    ::chmod(path.c_str(), 0600);
    if (::listen(fd, backlog) != 0) {
        int e = errno;
        ::close(fd);
        ::unlink(path.c_str());
        errno = e;
        return -1;
    }
    return fd;
}

int connectTo(std::string const& path, bool nonBlocking) {
    sockaddr_un addr;
    if (!makeAddress(path, addr)) return -1;
    int fd = ::socket(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC | (nonBlocking ? SOCK_NONBLOCK : 0), 0);
    if (fd < 0) return -1;
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        int e = errno;
        ::close(fd);
        errno = e;
        return -1;
    }
    return fd;
}

bool peerIsOwnUser(int fd, uid_t& uid, pid_t& pid) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(fd, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || len != sizeof cred) {
        uid = static_cast<uid_t>(-1);
        pid = 0;
        return false;
    }
    uid = cred.uid;
    pid = cred.pid;
    return cred.uid == ::getuid();
}

int makeWakeFd() { return ::eventfd(0, EFD_NONBLOCK | EFD_CLOEXEC); }

void wake(int fd) {
    uint64_t one = 1;
    ssize_t r = ::write(fd, &one, sizeof one);
    (void)r;  // a full counter still wakes the reader
}

void drainWake(int fd) {
    uint64_t v;
    ssize_t r = ::read(fd, &v, sizeof v);
    (void)r;
}

}  // namespace sock
}  // namespace Transport
