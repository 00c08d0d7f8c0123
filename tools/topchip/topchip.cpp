// topchip: sends one command to the simulated ToP chip of an actor and prints
// the answer. Exit status: 0 answered ok, 1 answered with an error, 2 the
// chip could not be reached or the command line is wrong.
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "ChipControl.h"
#include "EnvVars.h"

namespace {

void usage() {
    std::fprintf(stderr,
                 "usage: topchip [-d <node dir>] [-p <pid> | -n <actor>] <command> [<argument>...]\n"
                 "       topchip [-d <node dir>] --list\n"
                 "Without -p or -n the chip of the actor named by TOPADAPTER_ACTOR (default topAdapter)\n"
                 "is addressed. 'topchip help' lists the commands.\n");
}

}  // namespace

int main(int argc, char** argv) {
    std::string pid, actor;
    bool list = false;
    int i = 1;
    for (; i < argc && argv[i][0] == '-'; ++i) {
        std::string opt = argv[i];
        bool hasValue = i + 1 < argc;
        if (opt == "-d" && hasValue) {
            setenv("TOPADAPTER_NODE_DIR", argv[++i], 1);
        } else if (opt == "-p" && hasValue) {
            pid = argv[++i];
        } else if (opt == "-n" && hasValue) {
            actor = argv[++i];
        } else if (opt == "--list") {
            list = true;
        } else if (opt == "--version") {
            std::printf("topchip %s\n", TOPADAPTER_VERSION);
            return 0;
        } else if (opt == "-h" || opt == "--help") {
            usage();
            return 0;
        } else {
            usage();
            return 2;
        }
    }
    if (list) {
        for (auto const& c : topdrv::listControlChannels())
            std::printf("%s pid %ld %s%s%s\n", c.path.c_str(), c.pid, c.alive ? "alive" : "gone",
                        c.name.empty() ? "" : " name ", c.name.c_str());
        return 0;
    }
    if (i >= argc) {
        usage();
        return 2;
    }
    std::string command;
    for (; i < argc; ++i) {
        if (!command.empty()) command += ' ';
        command += argv[i];
    }
    std::string path;
    if (!pid.empty()) {
        int64_t p = 0;
        if (!platform::parseInt64(pid, 1, INT32_MAX, &p)) {
            std::fprintf(stderr, "topchip: '%s' is not a process id\n", pid.c_str());
            return 2;
        }
        path = topdrv::controlSocketPath(static_cast<long>(p));
    } else {
        path = topdrv::controlNamePath(actor.empty() ? topdrv::ownActorName() : actor);
    }
    std::string reply, error;
    if (!topdrv::sendControlCommand(path, command, &reply, &error)) {
        std::fprintf(stderr, "topchip: %s\n", error.c_str());
        return 2;
    }
    std::fputs(reply.c_str(), stdout);
    return reply.compare(0, 2, "ok") == 0 ? 0 : 1;
}
