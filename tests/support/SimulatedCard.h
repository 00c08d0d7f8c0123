// A whole simulated card for process-level tests: the membership service
// (NodeEnvironment), the model actor and the task on its simulated chip,
// under the time scale, with what a test asks of them from outside.
#pragma once

#include <gtest/gtest.h>

#include <iostream>
#include <memory>
#include <sstream>
#include <string>
#include <vector>

#include "ChildProcess.h"
#include "ChipControl.h"
#include "ModelControlClient.h"
#include "OrbNodeFixture.h"

namespace cardtest {

using namespace orbtest;
using namespace std::chrono_literals;
using testsupport::ChildProcess;
using testsupport::waitUntil;

// 10-second polls take half a second, the 60-second raise delay three.
inline char const kScale[] = "20";
// How late a process may answer on a loaded machine, in real seconds;
// sanitizers slow every process down several times.
#if defined(__SANITIZE_THREAD__) || defined(__SANITIZE_ADDRESS__)
constexpr double kLateSeconds = 2;
#else
constexpr double kLateSeconds = 0.5;
#endif
constexpr unsigned long kOwn = 1, kOther = 2;  // units
// The name ids the actors' names give, so that tools find them by name.
inline unsigned short const kModelNameId = Transport::IdInfo::nameIdOf("topmodel");
inline unsigned short const kTaskNameId = Transport::IdInfo::nameIdOf("topAdapter");

inline TipprmiArray<short, 4> ip(short a, short b, short c, short d) {
    TipprmiArray<short, 4> x;
    x[0] = a, x[1] = b, x[2] = c, x[3] = d;
    return x;
}

class Card : public ::testing::Test {
protected:
    void TearDown() override {
        if (HasFailure())  // what the actors said last tells most of why
            for (auto const* p : {&model, &task})
                if (*p) {
                    std::vector<std::string> const l = (*p)->lines();
                    std::cerr << "--- last output of the " << (p == &task ? "task" : "model") << "\n";
                    for (size_t i = l.size() > 400 ? l.size() - 400 : 0; i < l.size(); ++i) std::cerr << l[i] << "\n";
                }
        RunPermissionGuard g;
        control_.reset();
    }

    void startModel(std::vector<std::string> flows, std::vector<std::string> args = {}) {
        for (auto const& f : flows) args.insert(args.end(), {"--flow", f});
        model = std::make_unique<ChildProcess>(testsupport::builtExecutable("topmodel"), args,
                                               std::map<std::string, std::string>{{"TOPADAPTER_ACTOR", "topmodel"},
                                                                                  {"TOPADAPTER_NAME_ID", std::to_string(kModelNameId)},
                                                                                  {"TOPADAPTER_TIME_SCALE", scale},
                                                                                  {"TOPADAPTER_QUIET", "0"}});
        ASSERT_TRUE(model->waitForOutput("READY")) << model->output();
        RunPermissionGuard g;
        control_ = std::make_unique<ModelControlClient>(TipprmiOID(ModelControlClient::NAME));
    }
    // Waits for `until` in its output (by default: it entered its main loop).
    void startTask(std::map<std::string, std::string> chip = {},
                   std::string const& until = "Card Ready entering main processing loop") {
        std::map<std::string, std::string> env{{"TOPADAPTER_ACTOR", "topAdapter"},
                                               {"TOPADAPTER_NAME_ID", std::to_string(kTaskNameId)},
                                               {"TOPADAPTER_TIME_SCALE", scale},
                                               {"TOPADAPTER_TRACE_MASK", "0xffffffff"},
                                               {"TOPADAPTER_TOPDRV_FW_UPGRADE_POLLS", "0"},
                                               {"TOPADAPTER_QUIET", "0"},
                                               {"TOPADAPTER_UNIT", std::to_string(kOwn)}};
        env.insert(chip.begin(), chip.end());
        task = std::make_unique<ChildProcess>(testsupport::builtExecutable("topAdapter"), std::vector<std::string>{},
                                              env);
        ASSERT_TRUE(task->waitForOutput(until)) << task->output();
    }
    // Runs `f` on the model's control object under the run permission.
    template <class F>
    auto model_(F f) {
        RunPermissionGuard g;
        return f(*control_);
    }
    std::string chip(std::string const& command) {
        std::string reply, error;
        EXPECT_TRUE(topdrv::sendControlCommand(topdrv::controlSocketPath(task->pid()), command, &reply, &error))
            << error;
        return reply;
    }
    // One call of the chip's journal: when (wall clock), on which thread, what and its answer.
    struct ChipCall {
        uint64_t seq = 0;
        int64_t us = 0;
        std::string thread, fn, args, value;
        int result = 0;
    };
    // The journal's calls of `fn` (every call: ""), oldest first.
    std::vector<ChipCall> chipJournal(std::string const& fn = "") {
        std::istringstream in(chip("journal 4096"));
        std::vector<ChipCall> calls;
        for (std::string line; std::getline(in, line);) {
            ChipCall c;
            std::string time;
            std::istringstream l(line);
            size_t const open = line.find('('), close = line.rfind(") = ");
            if (!(l >> c.seq >> time >> c.thread >> c.fn) || open == std::string::npos || close < open) continue;
            size_t const dot = time.find('.');
            c.us = std::stoll(time.substr(0, dot)) * 1000000 + std::stoll(time.substr(dot + 1));
            c.fn.erase(c.fn.find('('));
            c.args = line.substr(open + 1, close - open - 1);
            c.result = std::atoi(line.c_str() + close + 4);
            size_t const arrow = line.find(" -> ", close);
            if (arrow != std::string::npos) c.value = line.substr(arrow + 4);
            if (fn.empty() || c.fn == fn) calls.push_back(c);
        }
        return calls;
    }
    size_t chipCalls(std::string const& fn) { return chipJournal(fn).size(); }
    // Once it is made: the first call of `fn` on `thread` after `after` (a
    // sequence number) that answered `value`.
    ChipCall firstCall(uint64_t after, std::string const& fn, std::string const& thread, std::string const& value) {
        ChipCall found;
        EXPECT_TRUE(waitUntil([&] {
            for (ChipCall const& c : chipJournal(fn))
                if (c.seq > after && c.thread == thread && c.value == value) return found = c, true;
            return false;
        }, 30s, 10ms)) << fn << " -> " << value << " on " << thread;
        return found;
    }
    uint64_t lastCall() {
        std::vector<ChipCall> const all = chipJournal();
        return all.empty() ? 0 : all.back().seq;
    }
    // Protocol seconds between two wall-clock times, under this card's scale.
    double protocolSeconds(int64_t fromUs, int64_t toUs) { return double(toUs - fromUs) / 1e6 * std::stod(scale); }
    bool traced(std::string const& text, size_t times = 1) {
        return waitUntil([&] { return task->countOutput(text) >= times; }, 20s);
    }
    // Alarms the model holds for (key, condition), oldest first.
    std::vector<ModelControlClient::AlarmRecord> alarmRecords(unsigned long key, long condition) {
        std::vector<ModelControlClient::AlarmRecord> out;
        TipprmiSequence<ModelControlClient::AlarmRecord> all = model_([](ModelControlClient& c) { return c.getAlarms(); });
        for (unsigned long i = 0; i < all.getLength(); ++i)
            if (all[i].key == key && all[i].condition == condition) out.push_back(all[i]);
        return out;
    }
    std::vector<bool> alarms(unsigned long key, long condition) {
        std::vector<bool> out;
        for (auto const& a : alarmRecords(key, condition)) out.push_back(a.raise);
        return out;
    }
    static int64_t receivedUs(ModelControlClient::AlarmRecord const& a) {
        return int64_t(a.sec) * 1000000 + int64_t(a.ms) * 1000;
    }
    bool driverUp(unsigned long key) {
        TipprmiSequence<ModelControlClient::FlowState> flows = model_([](ModelControlClient& c) { return c.getFlows(); });
        for (unsigned long i = 0; i < flows.getLength(); ++i)
            if (flows[i].key == key) return flows[i].drvInitStatus;
        return false;
    }

    // Of both processes; set before they start.
    std::string scale = kScale;
    std::unique_ptr<ChildProcess> model, task;
    std::unique_ptr<ModelControlClient> control_;
};

}  // namespace cardtest
