// A private node per test process: a fresh node directory and its own
// membership service, removed again at the end. Header-only; test binaries
// that use it link ta_transport_node.
#pragma once

#include <gtest/gtest.h>

#include <cstdio>
#include <cstdlib>
#include <map>
#include <string>

#include "ChildProcess.h"
#include "NodeServiceProcess.h"
#include "Transport.h"

namespace testsupport {

class PrivateNode : public ::testing::Environment {
public:
    // `env`: variables this process runs with (its name id, time-outs, ...).
    explicit PrivateNode(std::map<std::string, std::string> env) : env_(std::move(env)) {}

    void SetUp() override {
        dir_ = Transport::NodeServiceProcess::useFreshNodeDirectory();
        for (auto const& kv : env_) ::setenv(kv.first.c_str(), kv.second.c_str(), 1);
        Transport::IdInfo::instance().reload();
        ASSERT_TRUE(service().start(builtExecutable("topnoded")));
    }
    void TearDown() override {
        service().stop();
        std::string cmd = "rm -rf '" + dir_ + "'";
        if (!dir_.empty() && std::system(cmd.c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir_.c_str());
    }
    static Transport::NodeServiceProcess& service() {
        static Transport::NodeServiceProcess* s = new Transport::NodeServiceProcess;
        return *s;
    }

private:
    std::map<std::string, std::string> env_;
    std::string dir_;
};

}  // namespace testsupport
