#include "REFLECT_Mutex.h"

#include "Log.h"
#include "REFLECT_lockSupport.h"

void TreflectMutex::lock() {
    bool const released = ReflectLockSupport::releaseBeforeBlocking([](unsigned count) {
        unsigned long const self = OSWrap::Thread::getCurrentId();
        TA_LOG(3, "ReflectMutex thread %d %s not releasing RunPermission (count=%u)", static_cast<int>(self),
               HTUtil::threadName(self).c_str(), count);
        HTUtil::printBacktrace("ReflectMutex");
    });
    mutex_.lock();
    if (released) TreflectORB::getRunPermission();
}

void TreflectMutex::unlock() { mutex_.unlock(); }

bool TreflectMutex::trylock() { return mutex_.tryLock(); }
