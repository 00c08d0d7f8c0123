// A lock for handler threads: while it blocks, a holder of the run permission
// gives the permission up, and takes it back once it has the lock.
#pragma once

#include "OSWrap.h"

class TreflectMutex {
public:
    TreflectMutex() {}
    virtual ~TreflectMutex() {}
    TreflectMutex(TreflectMutex const&) = delete;
    TreflectMutex& operator=(TreflectMutex const&) = delete;

    virtual void lock();
    virtual void unlock();
    // Never blocks, so never touches the run permission.
    virtual bool trylock();

private:
    OSWrap::Mutex mutex_;
};
