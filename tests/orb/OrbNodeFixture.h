// A private node for ORB tests: fresh node directory, its membership
// service, this process's ORB, and raw peers that speak the ORB protocol
// byte by byte, independently of the ORB's own encoder.
#pragma once

#include <gtest/gtest.h>
#include <stdint.h>

#include <condition_variable>
#include <cstdlib>
#include <deque>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <string>
#include <vector>

#include "LogCapture.h"
#include "ChildProcess.h"
#include "PrivateNode.h"
#include "IPPRMI_stream.h"
#include "REFLECT_orb.h"
#include "Transport.h"

namespace orbtest {

using Bytes = std::vector<uint8_t>;

constexpr unsigned short kOwnNameId = 0x0A01;

// Big-endian 32-bit word, spelled out byte by byte.
inline void put32(Bytes& b, uint32_t v) {
    for (int shift = 24; shift >= 0; shift -= 8) b.push_back(uint8_t(v >> shift));
}
inline uint32_t get32(uint8_t const* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline Bytes operator+(Bytes a, Bytes const& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}
inline Bytes word(uint32_t v) {
    Bytes b;
    put32(b, v);
    return b;
}
inline Bytes callHeader(uint32_t ioid, bool transaction, uint32_t cc, uint32_t mc) {
    return word(ioid) + word(transaction ? 1 : 0) + word(cc) + word(mc);
}

// ORB message bytes: header (transaction id, type, kind), iptr_, data.
inline Bytes orbMessage(uint32_t transactionId, uint32_t type, uint32_t kind, Bytes const& data) {
    Bytes b;
    for (uint32_t w : {transactionId, type, kind, uint32_t(data.size())}) put32(b, w);
    b.insert(b.end(), data.begin(), data.end());
    return b;
}

// One node per test process. The ORB is in its table before it has
// started; tests that call from many threads at once find it started.
class NodeEnvironment : public testsupport::PrivateNode {
public:
    NodeEnvironment()
        : PrivateNode({{"TOPADAPTER_NAME_ID", std::to_string(kOwnNameId)},
                       {"TOPADAPTER_QUIET", std::getenv("TOPADAPTER_QUIET") ? std::getenv("TOPADAPTER_QUIET") : "1"}}) {}
    void SetUp() override {
        PrivateNode::SetUp();
        TreflectORB::getInstance(NSID_UNIT);
    }
};

// A termination that records what it receives and sends hand-built bytes.
class RawPeer : public Transport::TerminationImpl {
public:
    explicit RawPeer(Transport::TerminationId id) : Transport::TerminationImpl(id, "rawpeer") {}
    ~RawPeer() override { stop(); }

    void receive(Transport::AddressedMessage const& m) override {
        std::lock_guard<std::mutex> lock(mutex_);
        received_.push_back(m);
        changed_.notify_all();
    }
    // Next received message within the deadline (null message on time-out).
    Transport::AddressedMessage next(std::chrono::milliseconds deadline = std::chrono::milliseconds(10000)) {
        std::unique_lock<std::mutex> lock(mutex_);
        if (!changed_.wait_for(lock, deadline, [&] { return !received_.empty(); })) return {};
        Transport::AddressedMessage m = received_.front();
        received_.pop_front();
        return m;
    }
    bool send(Transport::TerminationId to, Bytes const& bytes) {
        Transport::AddressedMessage m = allocateMessage(unsigned(bytes.size()), 4);
        std::copy(bytes.begin(), bytes.end(), m.rawBuf());
        return Transport::TransportLayer::instance().getTermination(to).issue(m);
    }
    // Sends a request and returns the data of the next message received.
    Bytes ask(Transport::TerminationId to, uint32_t type, Bytes const& data) {
        send(to, orbMessage(++lastId_, type, 2, data));
        Bytes got = meaningful(next());
        return Bytes(got.begin() + std::min<size_t>(got.size(), 16), got.end());
    }
    // The meaningful bytes of a received ORB message (header, iptr_, data).
    static Bytes meaningful(Transport::AddressedMessage const& m) {
        if (m.isNull() || m.rawSize() < 16) return Bytes(m.rawBuf(), m.rawBuf() + m.rawSize());
        size_t n = std::min<size_t>(m.rawSize(), 16 + size_t(get32(m.rawBuf() + 12)));
        return Bytes(m.rawBuf(), m.rawBuf() + n);
    }

private:
    std::mutex mutex_;
    std::condition_variable changed_;
    std::deque<Transport::AddressedMessage> received_;
    uint32_t lastId_ = 0x7E000000;
};

inline TreflectORB& orb() { return *TreflectORB::getInstance(NSID_UNIT); }

// The ORB appearances and disappearances an observer is told of.
struct OrbEvents : TreflectOrbObserverIf {
    std::mutex mutex;
    std::set<std::pair<unsigned long, Appear_t> > seen;
    void orbAppearance(Transport::TerminationId const& t, Appear_t const& a) override {
        std::lock_guard<std::mutex> lock(mutex);
        seen.insert({t.value(), a});
    }
    bool saw(Transport::TerminationId const& t, Appear_t a = kAppear) {
        std::lock_guard<std::mutex> lock(mutex);
        return seen.count({t.value(), a}) > 0;
    }
};

// Exception type of the status container at the front of a response.
inline unsigned long exceptionTypeOf(TipprmiStream& response) {
    TipprmiExceptionContainer status;
    response >> status;
    return status.getExceptionType();
}

// A test actor process of this node ("actor<name id>"), once it is READY.
inline std::unique_ptr<testsupport::ChildProcess> startActor(std::string const& exe, unsigned short nameId,
                                                             std::vector<std::string> args,
                                                             std::map<std::string, std::string> env = {}) {
    env["TOPADAPTER_NAME_ID"] = std::to_string(nameId);
    env["TOPADAPTER_ACTOR"] = "actor" + std::to_string(nameId);
    env["TOPADAPTER_QUIET"] = "0";
    auto p = std::make_unique<testsupport::ChildProcess>(exe, args, env);
    EXPECT_TRUE(p->waitForOutput("READY", std::chrono::seconds(10))) << p->output();
    return p;
}

// Group 1 termination of another actor in this slot.
inline Transport::TerminationId peerId(unsigned short nameId, unsigned char slot = 1) {
    return Transport::TerminationId(nameId, slot, Transport::GroupId(1));
}

}  // namespace orbtest
