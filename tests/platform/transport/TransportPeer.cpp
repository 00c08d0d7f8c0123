// A small actor process for the multi-process transport tests. It owns
// terminations and is driven line by line over standard input; every
// command gets exactly one reply line on standard output.
//
//   start <group>                      -> "ok <k> <id> <ns before start()>" | "fail"
//   send <k> <dest> <count> <size>     -> "sent <accepted> <refused>"
//   hold <k> / release <k>             -> "ok"   (receive() blocks from the next message until released)
//   stats <k>                          -> "stats recv=<n> inorder=<0|1>"
//   events <k>                         -> "events [A|D]:<id>:<ns> ..."
//   stop <k>                           -> "stopped <ns before stop()>"
//                                         (a held receive() is released and from
//                                         then on takes 1 ms per message: a slow
//                                         receiver that still has messages queued)
//   exit                               -> "bye", then exits
// Ids are hexadecimal, times CLOCK_MONOTONIC nanoseconds. Message payloads
// start with a 4-byte big-endian sequence number counting from 0 per sender.
#include <condition_variable>
#include <cstdio>
#include <iostream>
#include <map>
#include <memory>
#include <mutex>
#include <sstream>
#include <string>
#include <vector>

#include "TestWire.h"
#include "Transport.h"

using transporttest::monoNs;

namespace {

class PeerTermination : public Transport::TerminationImpl {
public:
    explicit PeerTermination(Transport::GroupId g) : TerminationImpl(g, "peer") {}
    ~PeerTermination() override { stop(); }

    void receive(Transport::AddressedMessage const& msg) override {
        std::unique_lock<std::mutex> lock(mutex_);
        cv_.wait(lock, [&] { return !hold_; });
        if (slow_) {
            lock.unlock();
            struct timespec ts = {0, 1000000};
            nanosleep(&ts, nullptr);
            lock.lock();
        }
        uint32_t& expect = next_[msg.originator().value()];
        inOrder_ = inOrder_ && transporttest::seqOf(msg) == expect;
        expect = transporttest::seqOf(msg) + 1;
        ++received_;
    }
    void appeared(Transport::Termination& t) override { record('A', t); }
    void disappeare(Transport::Termination& t) override { record('D', t); }

    // Under the lock: `f` changes the settings; waiting receivers look again.
    template <class F>
    std::string set(F f) {
        std::lock_guard<std::mutex> lock(mutex_);
        f();
        cv_.notify_all();
        return "ok";
    }
    std::string stats() {
        std::lock_guard<std::mutex> lock(mutex_);
        return "stats recv=" + std::to_string(received_) + " inorder=" + std::to_string(inOrder_);
    }
    std::string events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return "events" + events_;
    }

    bool hold_ = false, slow_ = false;

private:
    void record(char kind, Transport::Termination& t) {
        char buf[64];
        std::snprintf(buf, sizeof buf, " %c:%lx:%lld", kind, t.termId().value(), monoNs());
        std::lock_guard<std::mutex> lock(mutex_);
        events_ += buf;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool inOrder_ = true;
    unsigned long received_ = 0;
    std::map<unsigned long, uint32_t> next_;
    std::string events_;
};

}  // namespace

int main() {
    std::vector<std::unique_ptr<PeerTermination>> terms;
    std::map<unsigned long, uint32_t> nextSeq;
    std::string line;
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd, reply;
        size_t k = 0;
        in >> cmd;
        if (cmd != "start" && cmd != "exit" && (!(in >> k) || k >= terms.size())) {
            reply = "error no termination " + std::to_string(k);
        } else if (cmd == "start") {
            int g = 1;
            in >> g;
            terms.emplace_back(new PeerTermination(static_cast<Transport::GroupId>(g)));
            char buf[96];
            unsigned long id = terms.back()->termId().value();
            std::snprintf(buf, sizeof buf, "ok %zu %lx %lld", terms.size() - 1, id, monoNs());
            bool started = terms.back()->start();
            reply = started ? buf : "fail";
            if (!started) terms.pop_back();
        } else if (cmd == "send") {
            unsigned long dest = 0, count = 0, size = 4, refused = 0;
            in >> std::hex >> dest >> std::dec >> count >> size;
            Transport::Termination& to = Transport::TransportLayer::instance().getTermination(dest);
            for (unsigned long i = 0; i < count; ++i) {
                Transport::AddressedMessage m = terms[k]->allocateMessage(unsigned(size < 4 ? 4 : size), 4);
                transporttest::putSeq(m, nextSeq[dest]);
                // The receiver checks the order of what it got.
                if (to.issue(m))
                    ++nextSeq[dest];
                else
                    ++refused;
            }
            reply = "sent " + std::to_string(count - refused) + " " + std::to_string(refused);
        } else if (cmd == "hold" || cmd == "release") {
            reply = terms[k]->set([&] { terms[k]->hold_ = cmd == "hold"; });
        } else if (cmd == "stats" || cmd == "events") {
            reply = cmd == "stats" ? terms[k]->stats() : terms[k]->events();
        } else if (cmd == "stop") {
            long long t0 = monoNs();
            terms[k]->set([&] { terms[k]->hold_ = false, terms[k]->slow_ = true; });
            terms[k]->stop();
            reply = "stopped " + std::to_string(t0);
        } else {
            reply = cmd == "exit" ? "bye" : "error unknown command";
        }
        std::fputs((reply + "\n").c_str(), stdout);
        std::fflush(stdout);
        if (cmd == "exit") break;
    }
    for (auto& t : terms) t->stop();
    return 0;
}
