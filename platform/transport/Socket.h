// Unix-socket helpers of the transport and its membership service.
#pragma once

#include <sys/types.h>

#include <cstdint>
#include <string>

namespace Transport {
namespace sock {

// TOPADAPTER_NODED=none: this process is a node of its own, without a
// membership service; its terminations see only each other.
bool standaloneNode();

// Socket file of a termination's listening socket in the node directory
// (in a private subdirectory of it for a standalone node).
std::string terminationPath(uint32_t id);
// Socket file of the membership service.
std::string servicePath();
// Lock file held by the running membership service.
std::string serviceLockPath();

// A non-blocking, close-on-exec SOCK_SEQPACKET socket listening on `path`.
// A stale socket file (nobody listening) is replaced; a live one is not:
// then -1 with errno EADDRINUSE. -1 with errno set on other failures.
int listenAt(std::string const& path, int backlog);

// A close-on-exec SOCK_SEQPACKET socket connected to `path`, non-blocking
// when `nonBlocking`; -1 with errno set (ENOENT, ECONNREFUSED: nobody there).
int connectTo(std::string const& path, bool nonBlocking);

// Whether the peer of connected socket `fd` runs as this process's user
// (SO_PEERCRED); the peer's uid and pid are returned for log lines.
bool peerIsOwnUser(int fd, uid_t& uid, pid_t& pid);

// Eventfd used to wake a poll loop.
int makeWakeFd();
void wake(int fd);
void drainWake(int fd);

}  // namespace sock
}  // namespace Transport
