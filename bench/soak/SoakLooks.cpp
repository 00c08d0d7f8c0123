#include "SoakLooks.h"

#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <fstream>
#include <sstream>

namespace soak {

namespace {

using Words = std::vector<std::string>;

std::string text(Words const& w) {
    std::string s;
    for (auto const& x : w) s += (s.empty() ? "" : " ") + x;
    return s;
}

std::string contents(std::string const& file) {
    std::ifstream in(file);
    std::ostringstream s;
    s << in.rdbuf();
    return s.str();
}

}  // namespace

Looks::Looks(Node& node, uint64_t seed, unsigned atOnce, double bound)
    : node_(node), rng_(seed ^ 0x100C5ull), atOnce_(atOnce), bound_(bound) {}

Looks::~Looks() { stop(); }

void Looks::start() {
    if (atOnce_ && !thread_.joinable()) thread_ = std::thread([this] { loop(); });
}

void Looks::stop() {
    stop_ = true;
    if (thread_.joinable()) thread_.join();
}

void Looks::setKeys(std::vector<unsigned long> keys) {
    std::lock_guard<std::mutex> lock(mutex_);
    keys_ = std::move(keys);
}

std::vector<std::string> Looks::takeFailures() {
    std::lock_guard<std::mutex> lock(mutex_);
    std::vector<std::string> f;
    f.swap(failures_);
    return f;
}

void Looks::loop() {
    while (!stop_) {
        while (underway_.size() < atOnce_) begin();
        for (auto it = underway_.begin(); it != underway_.end();) it = finished(*it, false) ? underway_.erase(it) : it + 1;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
    for (auto& look : underway_)
        while (!finished(look, true)) std::this_thread::sleep_for(std::chrono::milliseconds(10));
    underway_.clear();
}

// What an operator reads: every form of it, with and without --json.
void Looks::begin() {
    unsigned long key = 0;
    {
        std::lock_guard<std::mutex> lock(mutex_);
        // Now and then a key that is gone, or never was.
        key = keys_.empty() || rng_() % 8 == 0 ? 1 + rng_() % 64 : keys_[rng_() % keys_.size()];
    }
    std::string const k = std::to_string(key);
    double runs = 0, stopAfter = 0;
    Words w;
    switch (rng_() % 7) {
    case 0: w = {"flows"}; break;
    case 1: w = {"flow", k}; break;
    case 2: w = {"metrics"}; break;
    case 3:
        runs = double(1 + rng_() % 3);
        w = {"monitor", "--timeout", std::to_string(int(runs))};
        // Some end as an operator ends them, by a signal.
        if (rng_() % 3 == 0) stopAfter = 0.5 + double(rng_() % 1000) / 1000 * runs;
        break;
    case 4:
        runs = 1;
        w = {"wait", k, rng_() % 2 ? "running" : "alarm-free", "--timeout", "1"};
        break;
    case 5: w = {"alarms"}; break;
    default: w = {"orb", "topmodel"}; break;
    }
    if (rng_() % 2) w.push_back("--json");
    Child* c = node_.spawn("look." + std::to_string(++serial_), BENCH_BIN_DIR "/topctl", w, {node_.toolNameId()}, true);
    if (!c) {
        std::lock_guard<std::mutex> lock(mutex_);
        failures_.push_back("the operator look 'topctl " + text(w) + "' did not start");
        return;
    }
    underway_.push_back(Look{c, "topctl " + text(w), Clock::now(), runs, stopAfter, false});
}

bool Looks::finished(Look& look, bool stopping) {
    Child* c = look.child;
    double const took = secondsSince(look.began);
    if (look.stopAfter && took > look.stopAfter && !look.signalled) {
        node_.end(c, SIGTERM, 0);
        look.signalled = true;
    }
    if (!node_.ended(c)) {
        if (took <= look.runs + bound_) return false;
        node_.kill(c);
        failed(look, "has not answered after " + std::to_string(int(took)) + " s" + (stopping ? " (at the end of the run)" : ""));
        return true;
    }
    ++done_;
    int const status = c->status;
    bool const exited = WIFEXITED(status);
    int const code = exited ? WEXITSTATUS(status) : -1;
    std::string const out = contents(c->out);
    // Exit 3: not yet (a wait that timed out); 1: the flow or the model is
    // not there (deleted, or restarting); a monitor stopped by its signal
    // before it took the signal in hand dies of it.
    bool const absent = code == 1 && (out.find("no flow ") != std::string::npos ||
                                      out.find("model not reachable") != std::string::npos ||
                                      out.find("no actor named topmodel") != std::string::npos);
    bool const stopped = look.stopAfter && !exited && WTERMSIG(status) == SIGTERM;
    if (code == 0 || code == 3 || absent || stopped) {
        absent_ += absent;
        ::unlink(c->out.c_str());
        ::unlink(c->log.c_str());
        return true;
    }
    failed(look, exited ? "ended with exit status " + std::to_string(code) : "died of signal " + std::to_string(WTERMSIG(status)));
    return true;
}

void Looks::failed(Look const& look, std::string const& why) {
    std::string const out = contents(look.child->out);
    std::lock_guard<std::mutex> lock(mutex_);
    failures_.push_back("the operator look '" + look.what + "' " + why + "; its output (" + look.child->out + "):\n" +
                        out.substr(out.size() > 2000 ? out.size() - 2000 : 0));
}

}  // namespace soak
