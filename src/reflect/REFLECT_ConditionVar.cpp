#include "REFLECT_ConditionVar.h"

#include "Log.h"
#include "REFLECT_lockSupport.h"

namespace {

void reportNested(unsigned count) {
    unsigned long const self = OSWrap::Thread::getCurrentId();
    TA_LOG(3, "ReflectConditionVar thread %d %s not releasing RunPermission (count=%u)", static_cast<int>(self),
           HTUtil::threadName(self).c_str(), count);
    HTUtil::printBacktrace("ReflectConditionVar");
}

}  // namespace

void TreflectConditionVar::lock() {
    bool const released = ReflectLockSupport::releaseBeforeBlocking(reportNested);
    OSWrap::ConditionVar::lock();
    if (released) TreflectORB::getRunPermission();
}

bool TreflectConditionVar::wait(OSWrap::TimeSpec const& timeout) {
    bool const released = ReflectLockSupport::releaseBeforeBlocking(reportNested);
    bool const signalled = OSWrap::ConditionVar::wait(timeout);
    if (released) TreflectORB::getRunPermission();
    return signalled;
}
