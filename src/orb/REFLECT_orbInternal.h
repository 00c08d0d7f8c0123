// ORB internals shared by its translation units.
#pragma once

#include <stdint.h>

#include <atomic>
#include <deque>
#include <queue>
#include <vector>

#include "OSWrap.h"
#include "REFLECT_orb.h"

class ReflectWorker;

// Response marker of a request whose destination disconnected.
inline TreflectMessage* disconnectedMarker() { return reinterpret_cast<TreflectMessage*>(~uintptr_t(0)); }


// One waiting transaction. Shared by the waiting caller and, while it hands
// the response over, the receiving thread: the last holder deletes it, so the
// receiving thread can signal after letting go of every lock.
struct TreflectORB::OngoingRequest {
    OSWrap::ConditionVar condition;
    TreflectMessage* response = nullptr;
    Transport::TerminationId destination;
    unsigned long id = 0;
    // Set under the condition lock when the receiving thread took the entry
    // out of ongoingRequests_ together with the response.
    bool delivered = false;
    std::atomic<int> holders{1};

    void release() {
        if (holders.fetch_sub(1, std::memory_order_acq_rel) == 1) delete this;
    }
    ~OngoingRequest() {
        if (response && response != disconnectedMarker()) delete response;
    }
};

struct TreflectORB::MessageQueue {
    OSWrap::ConditionVar condition;
    std::queue<TreflectMessage, std::deque<TreflectMessage> > messages;
    unsigned idle = 0;
    bool stopping = false;
    std::vector<ReflectWorker*> workers;
};

