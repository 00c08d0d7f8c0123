// For single-process tests: this process is a node of its own, so the ORB's
// termination starts without the node's membership service. Define one
// static instance per test binary.
#pragma once

#include <unistd.h>

#include <cstdlib>
#include <string>

namespace testsupport {

struct StandaloneNode {
    StandaloneNode() { ::setenv("TOPADAPTER_NODED", "none", 0); }
};

// A node directory of this test process only, for the files the stand-ins
// keep there: made the process's node directory on first use, removed at exit.
inline std::string privateNodeDirectory() {
    static std::string const* const dir = [] {
        char templ[] = "/tmp/topadapter-test-XXXXXX";
        char const* made = mkdtemp(templ);
        auto* d = new std::string(made ? made : "/tmp");
        ::setenv("TOPADAPTER_NODE_DIR", d->c_str(), 1);
        std::atexit([] { rmdir(privateNodeDirectory().c_str()); });
        return d;
    }();
    return *dir;
}

}  // namespace testsupport
