// A child process for process-level tests: started with extra environment,
// fed lines on its standard input, its standard output and error collected
// line by line, waited for with deadlines, killed when the test ends. A
// sanitized child writes its reports to a path of its own; every report found
// when the child is destroyed fails the running test and is named.
#pragma once

#include <sys/types.h>

#include <chrono>
#include <condition_variable>
#include <map>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace testsupport {

class ChildProcess {
public:
    // Starts `path` with `args`; `env` entries override or add variables.
    ChildProcess(std::string const& path, std::vector<std::string> const& args,
                 std::map<std::string, std::string> const& env);
    ~ChildProcess();  // kills (SIGKILL) and reaps a child still running, then looks for reports
    ChildProcess(ChildProcess const&) = delete;
    ChildProcess& operator=(ChildProcess const&) = delete;

    pid_t pid() const { return pid_; }
    bool started() const { return pid_ > 0; }

    // Waits until some output line contains `fragment`.
    bool waitForOutput(std::string const& fragment,
                       std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));
    size_t countOutput(std::string const& fragment);
    std::vector<std::string> lines();
    std::string output();  // all lines joined, for failure messages
    // Writes `line` and a newline to the child's standard input.
    bool writeLine(std::string const& line);
    // The output line of index `n` once it has come; "" on time-out.
    std::string waitForLine(size_t n, std::chrono::milliseconds deadline);

    // Waits for the child to end; false on time-out. `status` as from waitpid.
    bool waitForExit(std::chrono::milliseconds deadline, int* status);
    // Its exit status once it ends within the deadline; -1000 when it does
    // not, -2000 - the signal when a signal ended it.
    int exitCode(std::chrono::milliseconds deadline);
    void kill(int signal);

    // Non-empty sanitizer report files (ASan, UBSan, TSan) the child wrote so far.
    std::vector<std::string> sanitizerReports() const;

private:
    void readLoop(int fd);
    pid_t pid_ = -1;
    int input_ = -1;
    bool reaped_ = false;
    std::thread reader_;
    std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<std::string> lines_;
    bool eof_ = false;
    std::string reportPath_;  // the sanitizer appends ".<pid>"
};

// Path of a built executable: this build's (set by CMake), or, for a node of
// mixed builds, another build's for the roles the environment names, e.g. the
// scripts a cross build writes to run its executables under the emulator:
//   TOPADAPTER_TASK_BIN_DIR   topAdapter
//   TOPADAPTER_CARD_BIN_DIR   topmodel, topnoded (the rest of the card)
//   TOPADAPTER_TOOL_BIN_DIR   topctl, topchip
//   TOPADAPTER_BIN_DIR        any executable no role variable names
std::string builtExecutable(char const* name);

}  // namespace testsupport
