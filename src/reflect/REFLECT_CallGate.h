// The callbacks running inside an object that another thread may take down.
// Handler threads give the run permission up in the middle of a callback (a
// remote call, a run-permission-aware lock), so the object's teardown can
// start while a callback is still inside it: teardown closes the gate, which
// refuses new callbacks and waits, without the run permission, until the last
// one has left.
//
// Every operation is called with the run permission held, which guards the
// count while the gate is open. Once it is closed, the count changes only
// under the gate's own lock: the closer returns, and the owner may be freed,
// only after the last leaver let go of the gate (src/ip/top/adapter/
// Concurrency.txt). Closing from inside one of the object's own callbacks
// would wait for itself.
#pragma once

#include "REFLECT_ConditionVar.h"

class TreflectCallGate {
public:
    // False once the gate is closed: the callback must not touch the object.
    bool enter() {
        if (closed_) return false;
        ++inside_;
        return true;
    }
    void leave() {
        if (!closed_) {  // no closer yet: the run permission keeps it out
            --inside_;
            return;
        }
        drained_.lock();
        if (--inside_ == 0) drained_.signal();
        drained_.unlock();
    }
    // Refuses new callbacks and returns once none is inside.
    void close() {
        closed_ = true;
        drained_.lock();
        while (inside_ > 0) drained_.wait(OSWrap::TimeSpec::INFINITETIME);
        drained_.unlock();
    }
    bool closed() const { return closed_; }

    // One callback's passage; test it before touching the object.
    class Pass {
    public:
        explicit Pass(TreflectCallGate& gate) : gate_(gate), entered_(gate.enter()) {}
        ~Pass() {
            if (entered_) gate_.leave();
        }
        Pass(Pass const&) = delete;
        Pass& operator=(Pass const&) = delete;
        explicit operator bool() const { return entered_; }

    private:
        TreflectCallGate& gate_;
        bool entered_;
    };

private:
    unsigned inside_ = 0;
    bool closed_ = false;
    TreflectConditionVar drained_;
};
