#include "ChipControl.h"

#include <dirent.h>
#include <poll.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/un.h>
#include <time.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <mutex>
#include <thread>

#include "Chaos.h"
#include "ChipCommand.h"
#include "EnvVars.h"
#include "Log.h"
#include "NodeDir.h"

namespace topdrv {
namespace {

size_t const kMaxCommand = 1023;
int const kCommandWaitMs = 1000;
char const kFilePrefix[] = "topchip-";
char const kFileSuffix[] = ".ctl";

struct Channel {
    Chip* chip = nullptr;
    int fd = -1;
    std::string path;
    std::string namePath;  // held well-known name, or empty
};

std::mutex gStartMutex;
Channel* gChannel = nullptr;  // set once, never freed: the serving thread outlives main

bool fillAddress(std::string const& path, sockaddr_un* addr) {
    std::memset(addr, 0, sizeof *addr);
    addr->sun_family = AF_UNIX;
    if (path.size() >= sizeof addr->sun_path) return false;
    std::memcpy(addr->sun_path, path.c_str(), path.size() + 1);
    return true;
}

bool processAlive(long pid) { return pid > 0 && (::kill(static_cast<pid_t>(pid), 0) == 0 || errno == EPERM); }

// "topchip-<middle>.ctl" -> middle; false for other names.
bool channelFileMiddle(std::string const& file, std::string* middle) {
    size_t pre = sizeof kFilePrefix - 1, suf = sizeof kFileSuffix - 1;
    if (file.size() <= pre + suf || file.compare(0, pre, kFilePrefix) != 0 ||
        file.compare(file.size() - suf, suf, kFileSuffix) != 0)
        return false;
    *middle = file.substr(pre, file.size() - pre - suf);
    return true;
}

bool allDigits(std::string const& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// Pid of the process behind a channel file (a pid socket, or a name linked to one).
long pidOf(std::string const& dir, std::string const& file) {
    std::string middle;
    if (!channelFileMiddle(file, &middle)) return 0;
    if (allDigits(middle)) return std::strtol(middle.c_str(), nullptr, 10);
    char target[256];
    ssize_t n = ::readlink((dir + "/" + file).c_str(), target, sizeof target - 1);
    if (n <= 0) return 0;
    target[n] = '\0';
    std::string t = target;
    size_t slash = t.rfind('/');
    if (slash != std::string::npos) t = t.substr(slash + 1);
    if (!channelFileMiddle(t, &middle) || !allDigits(middle)) return 0;
    return std::strtol(middle.c_str(), nullptr, 10);
}

// Removes the channel files of processes that are gone.
void sweepStale(std::string const& dir) {
    DIR* d = ::opendir(dir.c_str());
    if (!d) return;
    while (dirent* e = ::readdir(d)) {
        std::string file = e->d_name, middle;
        if (!channelFileMiddle(file, &middle)) continue;
        long pid = pidOf(dir, file);
        if (pid > 0 && !processAlive(pid)) ::unlink((dir + "/" + file).c_str());
    }
    ::closedir(d);
}

// Takes the well-known name unless a live process holds it.
bool claimName(std::string const& namePath, std::string const& target) {
    for (int attempt = 0; attempt < 2; ++attempt) {
        if (::symlink(target.c_str(), namePath.c_str()) == 0) return true;
        if (errno != EEXIST) {
            TA_LOG(4, "topchip control: cannot create %s: %s", namePath.c_str(), std::strerror(errno));
            return false;
        }
        size_t slash = namePath.rfind('/');
        long holder = pidOf(namePath.substr(0, slash), namePath.substr(slash + 1));
        if (holder > 0 && holder != static_cast<long>(::getpid()) && processAlive(holder)) {
            TA_LOG(4, "topchip control: %s is held by live process %ld; this chip answers at %s only",
                   namePath.c_str(), holder, target.c_str());
            return false;
        }
        ::unlink(namePath.c_str());
    }
    return false;
}

void removeFiles() {
    Channel* ch = gChannel;
    if (!ch) return;
    ::unlink(ch->path.c_str());
    if (!ch->namePath.empty() && pidOf(ch->namePath.substr(0, ch->namePath.rfind('/')),
                                       ch->namePath.substr(ch->namePath.rfind('/') + 1)) ==
                                     static_cast<long>(::getpid()))
        ::unlink(ch->namePath.c_str());
}

int64_t monotonicMs() {
    return std::chrono::duration_cast<std::chrono::milliseconds>(std::chrono::steady_clock::now().time_since_epoch())
        .count();
}

enum ReadResult { kCommand, kTimedOut, kClosed, kTooLong };

// Reads up to '\n' or the end of the stream within `waitMs`.
ReadResult readCommand(int fd, int waitMs, std::string* line) {
    int64_t deadline = monotonicMs() + waitMs;
    line->clear();
    for (;;) {
        size_t nl = line->find('\n');
        if (nl != std::string::npos) {
            line->resize(nl);
            return line->size() > kMaxCommand ? kTooLong : kCommand;
        }
        if (line->size() > kMaxCommand) return kTooLong;
        int64_t left = deadline - monotonicMs();
        if (left <= 0) return kTimedOut;
        pollfd p = {fd, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) return kClosed;
        if (rc == 0) return kTimedOut;
        char buf[512];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return line->empty() ? kClosed : (line->size() > kMaxCommand ? kTooLong : kCommand);
        line->append(buf, static_cast<size_t>(n));
    }
}

void sendAll(int fd, std::string const& text) {
    size_t off = 0;
    while (off < text.size()) {
        ssize_t n = ::send(fd, text.data() + off, text.size() - off, MSG_NOSIGNAL);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) return;
        off += static_cast<size_t>(n);
    }
}

void serveOne(Channel& ch, int c) {
    struct ucred cred;
    socklen_t len = sizeof cred;
    if (::getsockopt(c, SOL_SOCKET, SO_PEERCRED, &cred, &len) != 0 || cred.uid != ::getuid()) {
        TA_LOG(4, "topchip control: connection of another user refused");
        return;
    }
    std::string line;
    ReadResult got = readCommand(c, kCommandWaitMs, &line);
    if (got == kClosed) return;  // a peer that only probed the channel
    if (got == kTooLong) {
        TA_LOG(4, "topchip control: command longer than %zu bytes refused", kMaxCommand);
        sendAll(c, "error: command longer than 1023 bytes\n");
        return;
    }
    if (got == kTimedOut) {
        TA_LOG(4, "topchip control: no command within %d ms", kCommandWaitMs);
        return;
    }
    // Peer bytes end up in log lines: keep them printable.
    for (char& x : line)
        if (static_cast<unsigned char>(x) < 0x20 || static_cast<unsigned char>(x) > 0x7e) x = ' ';
    chaos::at(chaos::ChipCommand);
    sendAll(c, runCommand(*ch.chip, line));
}

void serve(Channel* ch) {
    pthread_setname_np(pthread_self(), "topchipCtl");
    for (;;) {
        pollfd p = {ch->fd, POLLIN, 0};
        if (::poll(&p, 1, -1) < 0) {
            if (errno == EINTR) continue;
            TA_LOG(3, "topchip control: poll on %s failed: %s; channel closed", ch->path.c_str(),
                   std::strerror(errno));
            return;
        }
        int c = ::accept4(ch->fd, nullptr, nullptr, SOCK_CLOEXEC);
        if (c < 0) {
            if (errno == EINTR || errno == ECONNABORTED || errno == EAGAIN) continue;
            TA_LOG(4, "topchip control: accept failed: %s", std::strerror(errno));
            // Out of descriptors: give the process a moment instead of spinning on the pending connection.
            struct timespec ts = {0, 100000000};
            ::nanosleep(&ts, nullptr);
            continue;
        }
        serveOne(*ch, c);
        ::close(c);
    }
}

}  // namespace

std::string controlSocketPath(long pid) {
    return platform::nodeDirectory() + "/" + kFilePrefix + std::to_string(pid) + kFileSuffix;
}

std::string controlNamePath(std::string const& actor) {
    return platform::nodeDirectory() + "/" + kFilePrefix + actor + kFileSuffix;
}

std::string ownActorName() { return platform::envString("TOPADAPTER_ACTOR", "topAdapter"); }

bool startControlChannel(Chip& chip) {
    std::lock_guard<std::mutex> lock(gStartMutex);
    if (gChannel) return true;
    if (platform::envString("TOPADAPTER_TOPDRV_CONTROL", "1") == "0") return false;
    if (!platform::nodeDirectoryOk()) {
        TA_LOG(4, "topchip control: node directory %s unusable; no control channel",
               platform::nodeDirectory().c_str());
        return false;
    }
    sweepStale(platform::nodeDirectory());
    std::string path = controlSocketPath(static_cast<long>(::getpid()));
    sockaddr_un addr;
    if (!fillAddress(path, &addr)) {
        TA_LOG(4, "topchip control: path %s too long for a socket; no control channel", path.c_str());
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        TA_LOG(4, "topchip control: socket failed: %s; no control channel", std::strerror(errno));
        return false;
    }
    ::unlink(path.c_str());  // left by an earlier process with the same pid
    if (::bind(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0 || ::chmod(path.c_str(), 0600) != 0 ||
        ::listen(fd, 8) != 0) {
        TA_LOG(4, "topchip control: cannot serve %s: %s; no control channel", path.c_str(), std::strerror(errno));
        ::close(fd);
        ::unlink(path.c_str());
        return false;
    }
    Channel* ch = new Channel;
    ch->chip = &chip;
    ch->fd = fd;
    ch->path = path;
    std::string namePath = controlNamePath(ownActorName());
    if (claimName(namePath, path.substr(path.rfind('/') + 1))) ch->namePath = namePath;
    gChannel = ch;
    std::atexit(removeFiles);
    std::thread(serve, ch).detach();
    return true;
}

std::string controlChannelPath() {
    std::lock_guard<std::mutex> lock(gStartMutex);
    return gChannel ? gChannel->path : std::string();
}

bool sendControlCommand(std::string const& path, std::string const& command, std::string* reply,
                        std::string* error, int timeoutMs) {
    reply->clear();
    chaos::at(chaos::ChipCommand);
    sockaddr_un addr;
    if (!fillAddress(path, &addr)) {
        *error = "path too long for a socket: " + path;
        return false;
    }
    int fd = ::socket(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (fd < 0) {
        *error = std::string("socket: ") + std::strerror(errno);
        return false;
    }
    if (::connect(fd, reinterpret_cast<sockaddr*>(&addr), sizeof addr) != 0) {
        *error = "cannot reach " + path + ": " + std::strerror(errno);
        ::close(fd);
        return false;
    }
    sendAll(fd, command + "\n");
    ::shutdown(fd, SHUT_WR);
    int64_t deadline = monotonicMs() + timeoutMs;
    for (;;) {
        int64_t left = deadline - monotonicMs();
        if (left <= 0) {
            *error = "no answer from " + path + " within " + std::to_string(timeoutMs) + " ms";
            ::close(fd);
            return false;
        }
        pollfd p = {fd, POLLIN, 0};
        int rc = ::poll(&p, 1, static_cast<int>(left));
        if (rc < 0 && errno == EINTR) continue;
        if (rc < 0) {
            *error = std::string("waiting for the answer: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (rc == 0) continue;
        char buf[4096];
        ssize_t n = ::recv(fd, buf, sizeof buf, 0);
        if (n < 0 && errno == EINTR) continue;
        if (n < 0) {
            *error = std::string("reading the answer: ") + std::strerror(errno);
            ::close(fd);
            return false;
        }
        if (n == 0) break;
        reply->append(buf, static_cast<size_t>(n));
    }
    ::close(fd);
    if (reply->empty()) {
        *error = path + " closed without an answer";
        return false;
    }
    return true;
}

void removeStaleChannels() { sweepStale(platform::nodeDirectory()); }

std::vector<ChannelEntry> listControlChannels() {
    std::vector<ChannelEntry> out;
    std::string const& dir = platform::nodeDirectory();
    DIR* d = ::opendir(dir.c_str());
    if (!d) return out;
    while (dirent* e = ::readdir(d)) {
        std::string file = e->d_name, middle;
        if (!channelFileMiddle(file, &middle)) continue;
        ChannelEntry c;
        c.path = dir + "/" + file;
        if (!allDigits(middle)) c.name = middle;
        c.pid = pidOf(dir, file);
        c.alive = processAlive(c.pid);
        out.push_back(c);
    }
    ::closedir(d);
    return out;
}

}  // namespace topdrv
