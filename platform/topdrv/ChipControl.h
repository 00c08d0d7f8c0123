// Control channel of the simulated chip, for the simulated card and the
// operator's topchip tool.
//
// Wire: a unix stream socket <node dir>/topchip-<pid>.ctl, mode 0600, also
// reachable under the actor's well-known name <node dir>/topchip-<actor>.ctl
// (a symbolic link; actor from TOPADAPTER_ACTOR, default "topAdapter") unless
// another live process holds that name. The client connects, sends one
// command line (ChipCommand.h) of at most 1023 bytes ended by '\n', and reads
// the answer until the server closes the connection. Only peers of the same
// user are served (SO_PEERCRED). Sockets and names of processes that ended
// without cleaning up are removed when the next channel starts.
//
// The channel is served by one thread ("topchipCtl"), started by the first
// use of the chip (topdrv::control()); TOPADAPTER_TOPDRV_CONTROL=0 disables it.
#pragma once

#include <string>
#include <vector>

#include "TopChip.h"

namespace topdrv {

std::string controlSocketPath(long pid);
std::string controlNamePath(std::string const& actor);
// TOPADAPTER_ACTOR, default "topAdapter".
std::string ownActorName();

// Starts serving `chip`; idempotent. False (with a warning) when the channel
// is disabled or cannot be set up; the chip works without it.
bool startControlChannel(Chip& chip);
// Path of this process's channel; empty when it is not served.
std::string controlChannelPath();

// Client side: sends one command to the channel at `path` and returns the
// answer in *reply. False with a reason in *error when the channel cannot be
// reached or does not answer within `timeoutMs`.
bool sendControlCommand(std::string const& path, std::string const& command, std::string* reply,
                        std::string* error, int timeoutMs = 3000);

// Removes the channel files of processes that have ended (done by
// startControlChannel too).
void removeStaleChannels();

// Channels found in the node directory.
struct ChannelEntry {
    std::string path;
    std::string name;  // actor name for a well-known name, else empty
    long pid = 0;      // serving process (0 if unknown)
    bool alive = false;
};
std::vector<ChannelEntry> listControlChannels();

}  // namespace topdrv
