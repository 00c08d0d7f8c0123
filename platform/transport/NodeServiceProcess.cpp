#include "NodeServiceProcess.h"

#include <fcntl.h>
#include <poll.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>

#include "Log.h"

extern char** environ;

namespace Transport {

NodeServiceProcess::~NodeServiceProcess() { stop(); }

std::string NodeServiceProcess::defaultPath() { return TA_TOPNODED_PATH; }

std::string NodeServiceProcess::useFreshNodeDirectory() {
    char tmpl[] = "/tmp/ta-node-XXXXXX";
    char* dir = ::mkdtemp(tmpl);  // mode 0700
    if (!dir) {
        TA_LOG(3, "cannot create a node directory under /tmp: %s", std::strerror(errno));
        return std::string();
    }
    ::setenv("TOPADAPTER_NODE_DIR", dir, 1);
    return dir;
}

bool NodeServiceProcess::start(std::string const& path, int waitMs) {
    if (pid_ > 0) return true;
    int out[2];
    if (::pipe2(out, O_CLOEXEC) != 0) {
        TA_LOG(3, "cannot start %s: %s", path.c_str(), std::strerror(errno));
        return false;
    }
    char* argv[] = {const_cast<char*>(path.c_str()), nullptr};
    pid_t const parent = ::getpid();
    pid_t pid = ::fork();
    if (pid < 0) {
        TA_LOG(3, "cannot start %s: %s", path.c_str(), std::strerror(errno));
        ::close(out[0]);
        ::close(out[1]);
        return false;
    }
    if (pid == 0) {
        // The service ends with the process that started it, even when that
        // one is killed: an orphan would hold its output pipes open for ever.
        ::prctl(PR_SET_PDEATHSIG, SIGTERM);
        if (::getppid() != parent) ::_exit(0);
        ::dup2(out[1], 1);
        ::execve(argv[0], argv, environ);
        ::_exit(127);
    }
    ::close(out[1]);
    pid_ = pid;
    std::string seen;
    auto deadline = std::chrono::steady_clock::now() + std::chrono::milliseconds(waitMs);
    while (seen.find('\n') == std::string::npos) {
        auto left = std::chrono::duration_cast<std::chrono::milliseconds>(deadline - std::chrono::steady_clock::now());
        if (left.count() <= 0) break;
        struct pollfd p = {out[0], POLLIN, 0};
        if (::poll(&p, 1, int(left.count())) <= 0) continue;
        char buf[256];
        ssize_t n = ::read(out[0], buf, sizeof buf);
        if (n <= 0) break;
        seen.append(buf, size_t(n));
    }
    ::close(out[0]);
    if (seen.compare(0, 14, "topnoded ready") != 0) {
        TA_LOG(3, "membership service %s did not become ready within %d ms", path.c_str(), waitMs);
        reap(SIGKILL);
        return false;
    }
    return true;
}

void NodeServiceProcess::reap(int signal) {
    if (pid_ <= 0) return;
    ::kill(pid_, signal);
    int status;
    while (::waitpid(pid_, &status, 0) < 0 && errno == EINTR) {
    }
    pid_ = -1;
}

void NodeServiceProcess::stop() { reap(SIGTERM); }

void NodeServiceProcess::kill9() { reap(SIGKILL); }

}  // namespace Transport
