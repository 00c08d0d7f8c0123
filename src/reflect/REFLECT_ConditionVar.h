// A condition variable for handler threads: locking it and waiting on it give
// the run permission up for the time the thread blocks.
#pragma once

#include "OSWrap.h"

class TreflectConditionVar : public OSWrap::ConditionVar {
public:
    void lock();
    void unlock() { OSWrap::ConditionVar::unlock(); }
    bool trylock() { return OSWrap::ConditionVar::tryLock(); }
    // Called with the lock held; the run permission is taken back with the
    // lock held. False when the time-out expired.
    bool wait(OSWrap::TimeSpec const& timeout);
    void signal() { OSWrap::ConditionVar::signal(); }
};
