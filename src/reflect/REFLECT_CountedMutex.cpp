#include "REFLECT_CountedMutex.h"

#include "Log.h"
#include "REFLECT_lockSupport.h"

void TreflectCountedMutex::lock() {
    bool const released = ReflectLockSupport::releaseBeforeBlocking([](unsigned count) {
        unsigned long const self = OSWrap::Thread::getCurrentId();
        TA_LOG(3, "ReflectCountedMutex thread %d %s not releasing RunPermission (count=%u)", static_cast<int>(self),
               HTUtil::threadName(self).c_str(), count);
        HTUtil::printBacktrace("ReflectCountedMutex");
    });
    mutex_.lock();
    if (released) TreflectORB::getRunPermission();
}

void TreflectCountedMutex::unlock() { mutex_.unlock(); }

bool TreflectCountedMutex::trylock() { return mutex_.tryLock(); }

unsigned TreflectCountedMutex::count() const { return mutex_.count(); }
