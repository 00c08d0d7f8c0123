// ORB internals shared by its translation units.
#pragma once

#include <stdint.h>

#include <deque>
#include <queue>
#include <vector>

#include "OSWrap.h"
#include "REFLECT_orb.h"

class ReflectWorker;

// Response marker of a request whose destination disconnected.
inline TreflectMessage* disconnectedMarker() { return reinterpret_cast<TreflectMessage*>(~uintptr_t(0)); }


struct TreflectORB::OngoingRequest {
    OSWrap::ConditionVar condition;
    TreflectMessage* response = nullptr;
    Transport::TerminationId destination;
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

