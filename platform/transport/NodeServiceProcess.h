// Starts and stops the membership service `topnoded` as a child process:
// for test fixtures, benchmarks and launchers written in C++. The run script
// of a simulated card starts the same binary itself.
#pragma once

#include <sys/types.h>

#include <string>

namespace Transport {

class NodeServiceProcess {
public:
    NodeServiceProcess() = default;
    ~NodeServiceProcess();  // stop()
    NodeServiceProcess(NodeServiceProcess const&) = delete;
    NodeServiceProcess& operator=(NodeServiceProcess const&) = delete;

    // The topnoded binary of this build.
    static std::string defaultPath();

    // Creates a fresh private directory under /tmp and points
    // TOPADAPTER_NODE_DIR at it; must run before anything in this process
    // uses the node directory. Returns the path.
    static std::string useFreshNodeDirectory();

    // Runs `path` in the current node directory and waits until it accepts
    // connections; false (with a log line) if it does not within `waitMs`.
    // The service gets SIGTERM when the thread that started it ends.
    bool start(std::string const& path = defaultPath(), int waitMs = 5000);
    // SIGTERM and reap; idempotent.
    void stop();
    // SIGKILL and reap (a crashed service).
    void kill9();
    pid_t pid() const { return pid_; }
    bool running() const { return pid_ > 0; }

private:
    void reap(int signal);
    pid_t pid_ = -1;
};

}  // namespace Transport
