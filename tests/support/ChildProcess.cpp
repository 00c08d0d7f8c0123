#include "ChildProcess.h"

#include <dirent.h>
#include <fcntl.h>
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/socket.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>

extern char** environ;

namespace testsupport {

namespace {

// The children's sanitizer reports, one directory per test process; removed
// at exit unless a report is left in it.
std::string const& reportDirectory() {
    static std::string const* dir = [] {
        char name[] = "/tmp/topadapter-reports.XXXXXX";
        auto* made = new std::string(mkdtemp(name) ? name : "/tmp");
        std::atexit([] { ::rmdir(reportDirectory().c_str()); });
        return made;
    }();
    return *dir;
}

}  // namespace

ChildProcess::ChildProcess(std::string const& path, std::vector<std::string> const& args,
                           std::map<std::string, std::string> const& env) {
    // A socket rather than a pipe for the input: a write to a child that has
    // gone fails instead of raising SIGPIPE.
    int fds[2], in[2];
    if (pipe2(fds, O_CLOEXEC) != 0) return;
    if (socketpair(AF_UNIX, SOCK_STREAM | SOCK_CLOEXEC, 0, in) != 0) {
        close(fds[0]);
        close(fds[1]);
        return;
    }
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e) {
        char const* eq = std::strchr(*e, '=');
        if (eq) merged[std::string(*e, static_cast<size_t>(eq - *e))] = eq + 1;
    }
    for (auto const& kv : env) merged[kv.first] = kv.second;
    static std::atomic<unsigned> children{0};
    reportPath_ = reportDirectory() + "/" + path.substr(path.rfind('/') + 1) + "." + std::to_string(++children);
    for (char const* options : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        std::string& o = merged[options];
        o += (o.empty() ? "" : ":") + ("log_path=" + reportPath_);
    }
    std::vector<std::string> envStrings;
    for (auto const& kv : merged) envStrings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> envp, argv;
    for (auto& s : envStrings) envp.push_back(&s[0]);
    envp.push_back(nullptr);
    std::vector<std::string> argStrings{path};
    argStrings.insert(argStrings.end(), args.begin(), args.end());
    for (auto& s : argStrings) argv.push_back(&s[0]);
    argv.push_back(nullptr);

    pid_ = fork();
    if (pid_ == 0) {
        dup2(in[1], 0);
        dup2(fds[1], 1);
        dup2(fds[1], 2);
        execve(path.c_str(), argv.data(), envp.data());
        _exit(127);
    }
    close(fds[1]);
    close(in[1]);
    input_ = in[0];
    if (pid_ < 0) {
        close(fds[0]);
        return;
    }
    reader_ = std::thread([this, fd = fds[0]] { readLoop(fd); });
}

ChildProcess::~ChildProcess() {
    if (pid_ > 0 && !reaped_) {
        ::kill(pid_, SIGKILL);
        int status;
        waitpid(pid_, &status, 0);
    }
    if (reader_.joinable()) reader_.join();
    if (input_ >= 0) close(input_);
    for (auto const& report : sanitizerReports()) {
        std::ifstream in(report);
        std::string head, line;
        for (int i = 0; i < 40 && std::getline(in, line); ++i) head += line + "\n";
        ADD_FAILURE() << "sanitizer report " << report << "\n" << head;
    }
}

std::vector<std::string> ChildProcess::sanitizerReports() const {
    std::vector<std::string> found;
    std::string const dir = reportPath_.substr(0, reportPath_.rfind('/'));
    std::string const own = reportPath_.substr(dir.size() + 1);
    DIR* d = reportPath_.empty() ? nullptr : opendir(dir.c_str());
    for (dirent* e; d && (e = readdir(d));) {
        std::string const name = e->d_name, file = dir + "/" + name;
        struct stat st;
        if ((name == own || name.compare(0, own.size() + 1, own + ".") == 0) && stat(file.c_str(), &st) == 0 &&
            st.st_size > 0)
            found.push_back(file);
    }
    if (d) closedir(d);
    return found;
}

void ChildProcess::readLoop(int fd) {
    std::string partial;
    char buf[4096];
    for (;;) {
        ssize_t n = read(fd, buf, sizeof buf);
        if (n < 0 && errno == EINTR) continue;
        if (n <= 0) break;
        partial.append(buf, static_cast<size_t>(n));
        size_t pos;
        std::lock_guard<std::mutex> lock(mutex_);
        while ((pos = partial.find('\n')) != std::string::npos) {
            lines_.push_back(partial.substr(0, pos));
            partial.erase(0, pos + 1);
        }
        changed_.notify_all();
    }
    close(fd);
    std::lock_guard<std::mutex> lock(mutex_);
    if (!partial.empty()) lines_.push_back(partial);
    eof_ = true;
    changed_.notify_all();
}

size_t ChildProcess::countOutput(std::string const& fragment) {
    std::lock_guard<std::mutex> lock(mutex_);
    size_t n = 0;
    for (auto const& l : lines_)
        if (l.find(fragment) != std::string::npos) ++n;
    return n;
}

bool ChildProcess::waitForOutput(std::string const& fragment, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    auto has = [&] {
        for (auto const& l : lines_)
            if (l.find(fragment) != std::string::npos) return true;
        return false;
    };
    return changed_.wait_for(lock, deadline, [&] { return has() || eof_; }) && has();
}

std::vector<std::string> ChildProcess::lines() {
    std::lock_guard<std::mutex> lock(mutex_);
    return lines_;
}

bool ChildProcess::writeLine(std::string const& line) {
    std::string const l = line + "\n";
    return input_ >= 0 && send(input_, l.data(), l.size(), MSG_NOSIGNAL) == static_cast<ssize_t>(l.size());
}

std::string ChildProcess::waitForLine(size_t n, std::chrono::milliseconds deadline) {
    std::unique_lock<std::mutex> lock(mutex_);
    changed_.wait_for(lock, deadline, [&] { return lines_.size() > n || eof_; });
    return lines_.size() > n ? lines_[n] : std::string();
}

std::string ChildProcess::output() {
    std::string all;
    for (auto const& l : lines()) all += l + "\n";
    return all;
}

bool ChildProcess::waitForExit(std::chrono::milliseconds deadline, int* status) {
    if (pid_ <= 0) return false;
    auto end = std::chrono::steady_clock::now() + deadline;
    for (;;) {
        pid_t r = waitpid(pid_, status, WNOHANG);
        if (r == pid_) {
            reaped_ = true;
            if (reader_.joinable()) reader_.join();
            return true;
        }
        if (std::chrono::steady_clock::now() > end) return false;
        struct timespec ts = {0, 2000000};
        nanosleep(&ts, nullptr);
    }
}

int ChildProcess::exitCode(std::chrono::milliseconds deadline) {
    int status = 0;
    if (!waitForExit(deadline, &status)) return -1000;
    return WIFEXITED(status) ? WEXITSTATUS(status) : -2000 - WTERMSIG(status);
}

void ChildProcess::kill(int signal) {
    if (pid_ > 0 && !reaped_) ::kill(pid_, signal);
}

std::string builtExecutable(char const* name) {
    static std::map<std::string, char const*> const roles{
        {"topAdapter", "TOPADAPTER_TASK_BIN_DIR"}, {"topmodel", "TOPADAPTER_CARD_BIN_DIR"},
        {"topnoded", "TOPADAPTER_CARD_BIN_DIR"},   {"topctl", "TOPADAPTER_TOOL_BIN_DIR"},
        {"topchip", "TOPADAPTER_TOOL_BIN_DIR"}};
    auto const role = roles.find(name);
    char const* dir = role == roles.end() ? nullptr : std::getenv(role->second);
    if (!dir || !*dir) dir = std::getenv("TOPADAPTER_BIN_DIR");
    std::string base = dir && *dir ? dir : TOPADAPTER_BIN_DIR_DEFAULT;
    return base + "/" + name;
}

}  // namespace testsupport
