// Basic types shared by the marshalling layer and the ORB.
#pragma once

// Selects the ORB instance an object belongs to (32-bit on the wire).
enum NamespaceId : unsigned int {
    NSID_UNDEF = 0,
    NSID_UNIT = 1,  // every object of this task
    NSID_NODE = 2
};
