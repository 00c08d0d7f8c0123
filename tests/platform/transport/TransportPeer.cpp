// A small actor process for the multi-process transport tests. It owns
// terminations and is driven line by line over standard input; every
// command gets exactly one reply line on standard output.
//
//   start <group>                      -> "ok <k> <id> <ns before start()>" | "fail"
//   send <k> <dest> <count> <size>     -> "sent <accepted> <refused>"
//   echo <k> on|off                    -> "ok"   (echo every message back from receive())
//   hold <k>                           -> "ok"   (the next receive() blocks until release)
//   release <k>                        -> "ok"
//   stats <k>                          -> "stats recv=<n> inorder=<0|1> bad=<n>"
//   events <k>                         -> "events [A|D]:<id>:<ns> ..."
//   stop <k>                           -> "stopped <ns before stop()>"
//                                         (a held receive() is released and from
//                                         then on takes 1 ms per message: a slow
//                                         receiver that still has messages queued)
//   exit                               -> "bye", then exits
// Ids are hexadecimal, times CLOCK_MONOTONIC nanoseconds. Message payloads
// start with a 4-byte big-endian sequence number counting from 0 per sender.
#include <condition_variable>
#include <cstring>
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
        cv_.wait(lock, [&] { return !holdNext_; });
        if (slow_) {
            lock.unlock();
            struct timespec ts = {0, 1000000};
            nanosleep(&ts, nullptr);
            lock.lock();
        }
        uint32_t seq = transporttest::seqOf(msg);
        auto& expect = next_[msg.originator().value()];
        if (seq != expect) inOrder_ = false;
        expect = seq + 1;
        ++received_;
        if (msg.destination() != termId()) ++bad_;
        bool echo = echo_;
        lock.unlock();
        if (echo) {
            Transport::AddressedMessage reply = allocateMessage(msg.rawSize(), 4);
            std::memcpy(reply.rawBuf(), msg.rawBuf(), msg.rawSize());
            Transport::TransportLayer::instance().getTermination(msg.originator()).issue(reply);
        }
    }
    void appeared(Transport::Termination& t) override { record('A', t); }
    void disappeare(Transport::Termination& t) override { record('D', t); }

    void setEcho(bool on) {
        std::lock_guard<std::mutex> lock(mutex_);
        echo_ = on;
    }
    // Holding blocks the next receive() until released; `slow` lasts from then on.
    void hold(bool on, bool slow = false) {
        std::lock_guard<std::mutex> lock(mutex_);
        holdNext_ = on;
        slow_ = slow_ || slow;
        cv_.notify_all();
    }
    std::string stats() {
        std::lock_guard<std::mutex> lock(mutex_);
        return "stats recv=" + std::to_string(received_) + " inorder=" + std::to_string(inOrder_) +
               " bad=" + std::to_string(bad_);
    }
    std::string events() {
        std::lock_guard<std::mutex> lock(mutex_);
        return "events" + events_;
    }

private:
    void record(char kind, Transport::Termination& t) {
        long long now = monoNs();
        char buf[64];
        std::snprintf(buf, sizeof buf, " %c:%lx:%lld", kind, t.termId().value(), now);
        std::lock_guard<std::mutex> lock(mutex_);
        events_ += buf;
    }

    std::mutex mutex_;
    std::condition_variable cv_;
    bool echo_ = false;
    bool holdNext_ = false;
    bool slow_ = false;
    bool inOrder_ = true;
    unsigned long received_ = 0, bad_ = 0;
    std::map<unsigned long, uint32_t> next_;
    std::string events_;
};

}  // namespace

int main() {
    std::vector<std::unique_ptr<PeerTermination>> terms;
    std::map<unsigned long, uint32_t> nextSeq;
    std::string line;
    auto reply = [](std::string const& s) {
        std::fputs((s + "\n").c_str(), stdout);
        std::fflush(stdout);
    };
    while (std::getline(std::cin, line)) {
        std::istringstream in(line);
        std::string cmd;
        in >> cmd;
        size_t k = 0;
        if (cmd != "start" && cmd != "exit") {
            in >> k;
            if (k >= terms.size()) {
                reply("error no termination " + std::to_string(k));
                continue;
            }
        }
        if (cmd == "start") {
            int g = 1;
            in >> g;
            terms.emplace_back(new PeerTermination(static_cast<Transport::GroupId>(g)));
            long long t0 = monoNs();
            char buf[96];
            std::snprintf(buf, sizeof buf, "ok %zu %lx %lld", terms.size() - 1, terms.back()->termId().value(), t0);
            bool started = terms.back()->start();
            if (!started) terms.pop_back();
            reply(started ? buf : "fail");
        } else if (cmd == "send") {
            unsigned long dest = 0, count = 0, size = 4;
            in >> std::hex >> dest >> std::dec >> count >> size;
            if (size < 4) size = 4;
            unsigned long refused = 0;
            Transport::Termination& to = Transport::TransportLayer::instance().getTermination(dest);
            for (unsigned long i = 0; i < count; ++i) {
                Transport::AddressedMessage m = terms[k]->allocateMessage(unsigned(size), 4);
                transporttest::putSeq(m, nextSeq[dest]++);
                if (!to.issue(m)) {
                    ++refused;
                    --nextSeq[dest];  // the receiver checks the order of what it got
                }
            }
            reply("sent " + std::to_string(count - refused) + " " + std::to_string(refused));
        } else if (cmd == "echo") {
            std::string on;
            terms[k]->setEcho(in >> on && on == "on");
            reply("ok");
        } else if (cmd == "hold" || cmd == "release") {
            terms[k]->hold(cmd == "hold");
            reply("ok");
        } else if (cmd == "stats") {
            reply(terms[k]->stats());
        } else if (cmd == "events") {
            reply(terms[k]->events());
        } else if (cmd == "stop") {
            long long t0 = monoNs();
            terms[k]->hold(false, true);
            terms[k]->stop();
            reply("stopped " + std::to_string(t0));
        } else if (cmd == "exit") {
            reply("bye");
            break;
        } else {
            reply("error unknown command");
        }
    }
    for (auto& t : terms) t->stop();
    return 0;
}
