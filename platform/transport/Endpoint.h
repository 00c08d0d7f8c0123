// One started termination inside this process: its listening socket, its
// outgoing connections, its receiving thread and its event thread.
#pragma once

#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <unordered_map>
#include <vector>

#include "Frame.h"
#include "Transport.h"

namespace Transport {

// Lets the issuing side call back into the owner (issueError) only while
// the owner is alive: stop() closes the gate and waits for calls in flight.
class CallbackGate {
public:
    bool enter();
    void leave();
    void close();
    void reopen();

private:
    std::mutex mutex_;
    std::condition_variable idle_;
    unsigned inFlight_ = 0;
    bool closed_ = true;
};

class Endpoint : public std::enable_shared_from_this<Endpoint> {
public:
    using Clock = std::chrono::steady_clock;
    // Bounds of the per-connection queue used while the receiver is full.
    static constexpr size_t kMaxPendingMessages = 256;
    static constexpr size_t kMaxPendingBytes = 2u * 1024u * 1024u;

    Endpoint(TerminationImpl& owner, TerminationId id);
    ~Endpoint();

    bool start();
    void stop();
    // Started and acknowledged by the membership service.
    bool running() const { return joined_.load(std::memory_order_acquire); }
    TerminationId id() const { return id_; }

    // Sends `msg` (originator = this termination) to msg.destination().
    // Any thread. Calls the owner's issueError when refused.
    bool send(AddressedMessage const& msg);

    // Called by the membership thread, without the layer mutex.
    void postAppeared(uint32_t peer);
    void postDisappeared(uint32_t peer);
    // The peer is gone: close the connection to it, hand back what it holds.
    void peerGone(uint32_t peer);

private:
    struct OutConn {
        uint32_t peer = 0;
        uint32_t serial = 0;                 // tells a stale readiness event from this connection's
        int fd = -1;
        std::mutex mutex;                    // serialises sends; guards the fields below
        std::condition_variable room;        // pending queue got room, or the connection died
        std::deque<AddressedMessage> pending;
        size_t pendingBytes = 0;
        bool dead = false;
        bool watched = false;                // in the receiving thread's epoll set for EPOLLOUT
        bool followsTakes = false;           // ... or for the edge of each frame the receiver takes
        bool receiverBeside = false;         // the receiver may run while our receiving thread does
        int64_t lastFrame = 0;               // steady clock, ns: when the last frame went
        ~OutConn();
    };
    struct InConn {
        int fd;
        wire::DataFrameReader reader;
        pid_t pid;
        uint64_t key;
        bool peerBeside = false;   // the sender may run while our receiving thread does
        int64_t lastArrival = 0;   // steady clock, ns: when its last message came
    };
    // Keys of in_ are never reused, so an event of a closed connection finds nothing.
    using InMap = std::unordered_map<uint64_t, InConn>;
    enum class SendResult { Sent, Full, Broken };

    bool doSend(AddressedMessage const& msg);
    bool present(uint32_t peer);
    void noteHeardFrom(uint32_t peer, bool open);
    // The connection to `peer`, made when there is none and `create`.
    // Takes connsMutex_, but never while it connects.
    std::shared_ptr<OutConn> connection(uint32_t peer, bool create);
    // A fresh, greeted connection to `peer`; waits up to the send time-out
    // for room in its accept backlog. No lock held.
    std::shared_ptr<OutConn> connect(uint32_t peer);
    void dropConnection(uint32_t peer);
    SendResult sendFrame(OutConn& c, uint8_t kind, AddressedMessage const& msg);
    // Sends queued messages while the socket takes them. Caller holds c.mutex.
    SendResult flushLocked(OutConn& c);
    // Marks `c` dead and moves its queue to the hand-back list. Caller holds c.mutex.
    void killLocked(OutConn& c);
    // Adds or removes c's EPOLLOUT interest. Caller holds c.mutex and c is alive,
    // so c.fd cannot be closed and reused meanwhile.
    bool watchOutLocked(OutConn& c, bool on);
    // Frames in close succession: wake our receiving thread as the receiver
    // takes each, so that its CPU is up before the answer comes.
    void noteFrameSent(OutConn& c);
    bool registerOutLocked(OutConn& c, bool watch, bool follow);
    static constexpr int64_t kCloseFramesNs = 500 * 1000;
    void queueHandback(std::deque<AddressedMessage>& msgs);
    static bool hasRoom(OutConn const& c, size_t bytes);
    // Waits until `bytes` more fit in c's queue; false at the deadline or when c died.
    bool waitForRoom(OutConn& c, std::unique_lock<std::mutex>& lock, size_t bytes,
                     std::chrono::steady_clock::time_point deadline);

    void receiveLoop();
    // Accepts what the listening socket queued, at most 64; true when there may be more.
    bool acceptAll();
    // The message of the frame just read into scratch_.
    AddressedMessage scratchMessage(wire::DataHeader const& h) const;
    // One datagram of `fd` into scratch_, without waiting: recvmsg's result.
    ssize_t readFrame(int fd, bool& truncated);
    void readFrom(InConn& c, bool burst);
    void closeIn(InConn& c, char const* why);
    void serviceOut(uint32_t peer, uint32_t serial, uint32_t revents);
    void deliverHandbacks();
    void shutdownReceiving();
    void bounce(AddressedMessage const& msg);

    void eventLoop();

    // Looking for the next frame instead of sleeping (PollGate.h says where
    // it pays). Receiving thread only.
    bool lookForNext(int64_t& pausedUntil);
    bool wantsLook(int64_t now) const;
    bool gateOpen(int64_t now);
    void noteArrival(InConn& c);
    // How long a yield may take before the receiving thread stops looking,
    // for how long it stops then, and how often it asks again whether its
    // policy and control group let it look at all.
    static constexpr int64_t kBusyYieldNs = 50 * 1000;
    static constexpr int64_t kPollPauseNs = 20 * 1000 * 1000;
    static constexpr int64_t kGateCheckNs = 1000 * 1000 * 1000;

    TerminationImpl& owner_;
    TerminationId id_;
    std::string path_;
    std::atomic<bool> running_{false};
    std::atomic<bool> stopping_{false};
    std::atomic<bool> joined_{false};
    // Steady clock, ns: the last send to a receiver that may run while our
    // receiving thread does; an awaited answer is looked for up to pollNs_
    // after it.
    std::atomic<int64_t> lastSend_{0};
    int64_t pollNs_ = 0;  // TOPADAPTER_ANSWER_POLL_US, set by start()
    int listenFd_ = -1;
    int wakeFd_ = -1;  // lives as long as the endpoint: late wake-ups stay harmless
    // Set before any connection exists. Other threads use it under epollMutex_
    // (a leaf lock), as a straggler connection may outlive the set.
    std::atomic<int> epollFd_{-1};
    std::mutex epollMutex_;
    CallbackGate gate_;

    // Guards conns_; taken before any OutConn::mutex, by the receiving thread
    // on every greeting: held for lookups only, never while connecting.
    std::mutex connsMutex_;
    std::map<uint32_t, std::shared_ptr<OutConn>> conns_;
    bool connsClosed_ = true;  // set once the receiving thread has torn the connections down
    uint32_t nextOutSerial_ = 0;  // guarded by connsMutex_
    // Peers with an identified connection to us, and how many (guarded by
    // connsMutex_): such a peer is there, even before the membership
    // service's word of it has reached this process.
    std::map<uint32_t, unsigned> heardFrom_;

    std::mutex handbackMutex_;
    std::deque<AddressedMessage> handback_;

    // Receiving thread only.
    std::thread recvThread_;
    std::atomic<std::thread::id> recvThreadId_{};
    InMap in_;
    uint64_t nextInKey_ = 0;
    std::vector<uint64_t> closedIn_;  // erased from in_ once the batch of events is handled
    std::vector<unsigned char> scratch_;
    bool handedOver_ = false;        // the last batch called the owner back
    bool answerMayCome_ = false;     // the owner awaited an answer when the batch began
    int64_t servingUntil_ = 0;       // requests keep coming: look for the next until then
    int64_t gateCheckedAt_ = 0;
    bool gateOpen_ = false;

    std::thread eventThread_;
    std::mutex eventMutex_;
    std::condition_variable eventCv_;
    std::deque<std::pair<bool, uint32_t>> events_;  // (appeared, peer)
    bool eventStop_ = false;
    // The peer whose appearance the owner is handling on the event thread,
    // and the thread that handles that peer's disappearance beside it.
    bool appearing_ = false;
    uint32_t appearingPeer_ = 0;
    std::thread besideThread_;
};

}  // namespace Transport
