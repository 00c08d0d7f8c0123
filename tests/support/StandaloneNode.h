// For single-process tests: this process is a node of its own, so the ORB's
// termination starts without the node's membership service. Define one
// static instance per test binary.
#pragma once

#include <cstdlib>

namespace testsupport {

struct StandaloneNode {
    StandaloneNode() { ::setenv("TOPADAPTER_NODED", "none", 0); }
};

}  // namespace testsupport
