// Shared step of the run-permission-aware locks: a thread that holds the run
// permission gives it up before it blocks on a primitive.
#pragma once

#include "REFLECT_orb.h"

namespace ReflectLockSupport {

// Releases the caller's run permission, if it holds it, and tells whether it
// did. A caller that holds it more than once keeps it; `report(count)` says so
// from the lock's own source file.
template <class Report>
bool releaseBeforeBlocking(Report report) {
    if (!TreflectORB::hasRunPermission()) return false;
    unsigned const count = TreflectORB::getRunPermissionCount();
    if (count > 1) report(count);
    TreflectORB::releaseRunPermission();
    return true;
}

}  // namespace ReflectLockSupport
