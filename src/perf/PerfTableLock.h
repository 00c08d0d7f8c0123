// The tables of the performance classes are guarded by a try-lock first and
// a blocking lock if that fails; never held across a remote call.
#pragma once

#include "OSWrap.h"

namespace Performance {

class TableLock {
public:
    explicit TableLock(OSWrap::Mutex& m) : m_(m) {
        if (!m_.tryLock()) m_.lock();
    }
    ~TableLock() { m_.unlock(); }
    TableLock(TableLock const&) = delete;
    TableLock& operator=(TableLock const&) = delete;

private:
    OSWrap::Mutex& m_;
};

}  // namespace Performance
