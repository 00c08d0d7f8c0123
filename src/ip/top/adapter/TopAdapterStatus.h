// The task's status object, served for the operator's tools: what every flow
// adapter is doing (state and since when, pending values, whether its
// counters run, its alarm records) and the chip's driver, read under the run
// permission. Each change of an adapter's state is announced through the
// object's own stateChanged operation, so that its post-observers (an
// operator's monitor) hear of it.
#pragma once

#include <stdint.h>

#include <deque>

#include "OSWrap.h"
#include "TopAdapterStatusServer.h"
#include "TopFlowAdapter.h"

class TopAdapterStatus : public TopAdapterStatusServerBase, public TopFlowAdapter::StateListener {
public:
    // Announcements waiting beyond this many are dropped, with one log line:
    // a monitor that does not answer must not make the task grow.
    static size_t const kMaxQueued = 1024;

    // Serves the object once and becomes the adapters' state listener.
    // Takes the run permission.
    static void start();
    static TopAdapterStatus* instance() { return instance_; }

    explicit TopAdapterStatus(unsigned long unit);
    ~TopAdapterStatus() override;

    // Called with the run permission held (an ORB worker).
    TopAdapterStatusClient::TaskStatus getStatus() override;
    // Served so that post-observers are told; nothing else to do here.
    void stateChanged(TopAdapterStatusClient::StateChange const&) override {}

    // On the thread that changed the state, with or without the run
    // permission: queues the announcement and returns at once.
    void stateChanged(TopFlowAdapter const& flow, int32_t previous) override;

    // The status record of one adapter. Called with the run permission held.
    static TopAdapterStatusClient::FlowStatus statusOf(TopFlowAdapter const& flow);

private:
    // Body of "TopStatusNotifier": announces the queued changes one by one,
    // with the run permission, outside the queue's lock.
    int run();

    static TopAdapterStatus* instance_;
    OSWrap::ConditionVar queueLock_;
    std::deque<TopAdapterStatusClient::StateChange> queue_;
    unsigned long dropped_;
    bool stopping_;
    OSWrap::MethodThread<TopAdapterStatus> notifier_;
};
