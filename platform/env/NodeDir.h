// The node directory: where the simulated actors of one node meet (transport
// sockets, membership service, chip control channels). Private to its user.
//
// Environment:
//   TOPADAPTER_NODE_DIR  the directory (default $XDG_RUNTIME_DIR/topadapter-node,
//                        or /tmp/topadapter-node-<uid> without a runtime directory)
#pragma once

#include <string>

namespace platform {

// Path of the node directory; created with mode 0700 on first use. An
// existing directory that is not owned by this user, or is open to others,
// is refused: the path is still returned and `nodeDirectoryOk()` is false.
std::string const& nodeDirectory();
bool nodeDirectoryOk();

}  // namespace platform
