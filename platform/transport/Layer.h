// Process-wide part of the transport: the node's membership as this process
// sees it, the started local terminations, and the connection to the
// membership service with its thread ("TrspNode").
#pragma once

#include <condition_variable>
#include <cstdint>
#include <map>
#include <memory>
#include <mutex>
#include <set>
#include <thread>
#include <vector>

#include "Frame.h"
#include "Transport.h"

namespace Transport {

class Endpoint;

struct TransportLayer::Impl {
    Impl();

    // Registers `ep` and announces it; true once the service acknowledged
    // it, false when it refused the id or did not answer before `waitMs`.
    bool join(std::shared_ptr<Endpoint> const& ep, int waitMs);
    // Withdraws a local termination; no event is posted to it afterwards.
    void leave(Endpoint const& ep);

    bool exists(uint32_t id) const;
    std::list<TerminationId> members(int group) const;  // group < 0: all
    std::shared_ptr<Endpoint> local(uint32_t id) const;
    Termination& handle(uint32_t id);
    Group& group(GroupId id);

private:
    enum class JoinState { Pending, Joined, Refused };
    struct Local {
        std::shared_ptr<Endpoint> ep;
        JoinState state = JoinState::Pending;
    };

    void ensureThread();  // caller holds mutex_
    // A process that only looks gets the node's view on first use.
    void ensureView(std::unique_lock<std::mutex>& lock) const;
    void run();
    bool connectService();
    void handleFrame(wire::NodeFrame const& f);
    void applyJoined(uint32_t id);
    void applyLeft(uint32_t id);
    bool sendLocked(uint8_t kind, uint32_t id);  // caller holds mutex_

    mutable std::mutex mutex_;
    // Standalone node: joins and leaves post their events one at a time, as
    // the membership thread does otherwise.
    std::mutex standaloneEvents_;
    std::condition_variable joinCv_;
    std::set<uint32_t> members_;
    std::map<uint32_t, Local> locals_;
    std::map<uint32_t, std::unique_ptr<Termination>> handles_;
    std::unique_ptr<Group> groups_[256];
    int serviceFd_ = -1;  // written under mutex_ by the membership thread only
    int wakeFd_ = -1;
    bool threadStarted_ = false;
    bool haveSnapshot_ = false;
    mutable bool viewAwaited_ = false;
    mutable std::condition_variable snapshotCv_;
    bool everConnected_ = false;
    bool reportedUnreachable_ = false;
    std::thread thread_;
};

}  // namespace Transport
