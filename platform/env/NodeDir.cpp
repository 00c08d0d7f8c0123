#include "NodeDir.h"

#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include "Log.h"

namespace platform {
namespace {

struct NodeDir {
    std::string path;
    bool ok = false;
    NodeDir() {
        char const* env = std::getenv("TOPADAPTER_NODE_DIR");
        if (env && *env) {
            path = env;
        } else if (char const* rt = std::getenv("XDG_RUNTIME_DIR"); rt && *rt) {
            path = std::string(rt) + "/topadapter-node";
        } else {
            path = "/tmp/topadapter-node-" + std::to_string(::getuid());
        }
        if (::mkdir(path.c_str(), 0700) != 0 && errno != EEXIST) {
            TA_LOG(3, "node directory %s cannot be created: %s", path.c_str(), std::strerror(errno));
            return;
        }
        struct stat st;
        if (::lstat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
            TA_LOG(3, "node directory %s is not a directory", path.c_str());
            return;
        }
        if (st.st_uid != ::getuid() || (st.st_mode & 077) != 0) {
            TA_LOG(3, "node directory %s refused: owner %u mode %o (must be private to uid %u)", path.c_str(),
                   static_cast<unsigned>(st.st_uid), static_cast<unsigned>(st.st_mode & 0777),
                   static_cast<unsigned>(::getuid()));
            return;
        }
        ok = true;
    }
};

NodeDir& nodeDir() {
    static NodeDir* d = new NodeDir;
    return *d;
}

}  // namespace

std::string const& nodeDirectory() { return nodeDir().path; }
bool nodeDirectoryOk() { return nodeDir().ok; }

}  // namespace platform
