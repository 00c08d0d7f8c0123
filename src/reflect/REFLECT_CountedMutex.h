// A lock for handler threads: while it blocks, a holder of the run permission
// gives the permission up, and takes it back once it has the lock.
#pragma once

#include "OSWrap.h"

class TreflectCountedMutex {
public:
    TreflectCountedMutex() {}
    virtual ~TreflectCountedMutex() {}
    TreflectCountedMutex(TreflectCountedMutex const&) = delete;
    TreflectCountedMutex& operator=(TreflectCountedMutex const&) = delete;

    virtual void lock();
    virtual void unlock();
    // Never blocks, so never touches the run permission.
    virtual bool trylock();
    virtual unsigned count() const;

private:
    OSWrap::CountedMutex mutex_;
};
