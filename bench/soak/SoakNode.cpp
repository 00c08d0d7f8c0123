#include "SoakNode.h"

#include <dirent.h>
#include <fcntl.h>
#include <signal.h>
#include <sys/prctl.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <thread>

#include "ChipControl.h"
#include "NodeServiceProcess.h"

extern char** environ;

namespace soak {

double secondsSince(Clock::time_point t) { return std::chrono::duration<double>(Clock::now() - t).count(); }

unsigned Usage::total() const {
    unsigned n = 0;
    for (auto const& t : threads) n += t.second;
    return n;
}

unsigned Usage::count(std::string const& name) const {
    auto it = threads.find(name);
    return it == threads.end() ? 0 : it->second;
}

Node::Node(double scale) : scale_(scale) {}

Node::~Node() {
    for (Child* c : children_) kill(c);
    for (Child* c : children_) delete c;
}

bool Node::start() {
    dir_ = Transport::NodeServiceProcess::useFreshNodeDirectory();
    if (dir_.empty() || ::mkdir((dir_ + "/reports").c_str(), 0700) != 0) return false;
    Child* service = spawn("topnoded", BENCH_BIN_DIR "/topnoded", {}, {});
    return service && waitForText(service->out, "topnoded ready", 10);
}

Child* Node::spawn(std::string const& name, std::string const& exe, std::vector<std::string> const& args,
                   std::vector<std::string> env, bool tool) {
    auto* c = new Child;
    c->name = name;
    c->tool = tool;
    c->log = dir_ + "/" + name + ".log";
    c->out = dir_ + "/" + name + ".out";
    std::string const report = dir_ + "/reports/" + name;
    std::map<std::string, std::string> merged;
    for (char** e = environ; *e; ++e)
        if (char const* eq = std::strchr(*e, '=')) merged[std::string(*e, size_t(eq - *e))] = eq + 1;
    // The soak's own identity is not its children's.
    merged.erase("TOPADAPTER_ACTOR");
    merged.erase("TOPADAPTER_NAME_ID");
    for (auto const& e : env) merged[e.substr(0, e.find('='))] = e.substr(e.find('=') + 1);
    merged["TOPADAPTER_LOG_FILE"] = c->log;
    merged["TOPADAPTER_TIME_SCALE"] = std::to_string(scale_);
    merged["TOPADAPTER_QUIET"] = "0";
    for (char const* options : {"ASAN_OPTIONS", "UBSAN_OPTIONS", "TSAN_OPTIONS"}) {
        std::string& o = merged[options];
        o += (o.empty() ? "" : ":") + ("log_path=" + report);
    }
    // A bounded quarantine, so that flat memory can be told from growth (SoakCheck.cpp).
    if (merged["ASAN_OPTIONS"].find("quarantine_size_mb") == std::string::npos) merged["ASAN_OPTIONS"] += ":quarantine_size_mb=32";
    std::vector<std::string> strings{exe};
    strings.insert(strings.end(), args.begin(), args.end());
    size_t const argc = strings.size();
    for (auto const& kv : merged) strings.push_back(kv.first + "=" + kv.second);
    std::vector<char*> argv, envp;
    for (size_t i = 0; i < strings.size(); ++i) (i < argc ? argv : envp).push_back(&strings[i][0]);
    argv.push_back(nullptr);
    envp.push_back(nullptr);
    int const out = ::open(c->out.c_str(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0600);
    pid_t const parent = ::getpid();
    pid_t const pid = out < 0 ? -1 : ::fork();
    if (pid == 0) {
        ::prctl(PR_SET_PDEATHSIG, SIGKILL);
        if (::getppid() != parent) ::_exit(127);
        ::dup2(out, 1);
        ::dup2(out, 2);
        ::execve(argv[0], argv.data(), envp.data());
        ::_exit(127);
    }
    if (out >= 0) ::close(out);
    if (pid < 0) {
        std::fprintf(stderr, "soak: cannot start %s: %s\n", exe.c_str(), std::strerror(errno));
        delete c;
        return nullptr;
    }
    c->pid = pid;
    std::lock_guard<std::mutex> lock(mutex_);
    children_.push_back(c);
    return c;
}

std::string Node::toolNameId() {
    std::lock_guard<std::mutex> lock(mutex_);
    for (;;) {
        unsigned short const id = static_cast<unsigned short>(0xF000 + toolIds_++ % 0x0F00);
        bool taken = false;
        for (char const* actor : {"soak", "topmodel", "topAdapter-0", "topAdapter-1", "topAdapter-2", "topAdapter-3"})
            taken = taken || Transport::IdInfo::nameIdOf(actor) == id;
        if (!taken) return "TOPADAPTER_NAME_ID=" + std::to_string(id);
    }
}

void Node::kill(Child* child) { end(child, SIGKILL, 1e9); }

bool Node::end(Child* child, int signal, double seconds) {
    {
        std::lock_guard<std::mutex> lock(mutex_);
        if (child->ended) return true;
        child->killed = true;
        child->signal = signal;
        ::kill(child->pid, signal);
    }
    auto const t = Clock::now();
    while (!ended(child)) {
        if (secondsSince(t) > seconds) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(signal == SIGKILL ? 1 : 10));
    }
    return true;
}

bool Node::ended(Child* c) {
    std::lock_guard<std::mutex> lock(mutex_);
    if (!c->ended && ::waitpid(c->pid, &c->status, WNOHANG) == c->pid) c->ended = true;
    return c->ended;
}

std::vector<Child*> Node::reap() {
    std::vector<Child*> died;
    std::lock_guard<std::mutex> lock(mutex_);
    for (Child* c : children_) {
        if (c->ended || ::waitpid(c->pid, &c->status, WNOHANG) != c->pid) continue;
        c->ended = true;
        if (!c->killed && !c->tool) died.push_back(c);
    }
    return died;
}

std::vector<Child*> Node::running() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<Child*> live;
    for (auto it = children_.rbegin(); it != children_.rend(); ++it)
        if (!(*it)->ended) live.push_back(*it);
    return live;
}

bool Node::waitForText(std::string const& file, std::string const& text, double seconds) {
    auto const start = Clock::now();
    std::streamoff seen = 0;
    std::string partial;
    do {
        std::ifstream in(file);
        in.seekg(seen);
        std::string chunk((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        seen += std::streamoff(chunk.size());
        // Keep a line's beginning for the text that the next read completes.
        partial += chunk;
        if (partial.find(text) != std::string::npos) return true;
        size_t const nl = partial.rfind('\n');
        if (nl != std::string::npos) partial.erase(0, nl + 1);
        std::this_thread::sleep_for(std::chrono::milliseconds(20));
    } while (secondsSince(start) < seconds);
    return false;
}

bool Node::exists(Transport::TerminationId const& id) { return Transport::TransportLayer::instance().exists(id); }

std::vector<std::string> Node::reports() const {
    std::vector<std::string> found;
    std::string const dir = dir_ + "/reports";
    DIR* d = ::opendir(dir.c_str());
    for (dirent* e; d && (e = ::readdir(d));) {
        std::string const file = dir + "/" + e->d_name;
        struct stat st;
        if (e->d_name[0] != '.' && ::stat(file.c_str(), &st) == 0 && st.st_size > 0) found.push_back(file);
    }
    if (d) ::closedir(d);
    return found;
}

std::string Node::chip(pid_t pid, std::string const& command) {
    std::string reply, error;
    if (!topdrv::sendControlCommand(topdrv::controlSocketPath(pid), command, &reply, &error)) return "error: " + error;
    return reply;
}

Usage Node::usage(pid_t pid) {
    Usage u;
    std::string const proc = "/proc/" + std::to_string(pid);
    std::ifstream status(proc + "/status");
    for (std::string line; std::getline(status, line);)
        if (line.compare(0, 6, "VmRSS:") == 0) u.rssKiB = std::atol(line.c_str() + 6);
    if (DIR* d = ::opendir((proc + "/task").c_str())) {
        while (dirent* e = ::readdir(d)) {
            if (e->d_name[0] == '.') continue;
            std::string comm;
            std::getline(std::ifstream(proc + "/task/" + e->d_name + "/comm"), comm);
            ++u.threads[comm];
        }
        ::closedir(d);
    }
    return u;
}

void Node::removeDirectory() {
    std::string const rm = "rm -rf '" + dir_ + "'";
    if (!dir_.empty() && std::system(rm.c_str()) != 0) std::fprintf(stderr, "soak: could not remove %s\n", dir_.c_str());
}

}  // namespace soak
