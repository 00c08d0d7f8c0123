// The operator tool as a user runs it: one process per command against a
// simulated card, judged by its exit status and what it prints (standard
// output and error together, so that stray log lines show).
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <functional>

#include "JsonValue.h"
#include "PerformanceServiceClient.h"
#include "SimulatedCard.h"

using namespace cardtest;
using testsupport::JsonValue;

namespace {

::testing::Environment* const gNode = ::testing::AddGlobalTestEnvironment(new NodeEnvironment);

struct Outcome {
    int status = -1;
    std::vector<std::string> lines;
    std::string text;
    JsonValue json;
    bool isJson = false;
};

class Topctl : public Card {
protected:
    // The tool gets the identity it picks itself, not this test's.
    Outcome topctl(std::vector<std::string> const& args) {
        ChildProcess p(testsupport::builtExecutable("topctl"), args,
                       {{"TOPADAPTER_NAME_ID", ""}, {"TOPADAPTER_ACTOR", ""}});
        Outcome r;
        r.status = p.exitCode(30s);
        r.lines = p.lines();
        r.text = p.output();
        r.isJson = JsonValue::parse(r.text, &r.json);
        return r;
    }
    bool eventually(std::vector<std::string> const& args, std::function<bool(Outcome const&)> const& pred) {
        Outcome last;
        bool ok = waitUntil([&] { return pred(last = topctl(args)); }, 20s);
        if (!ok) ADD_FAILURE() << "topctl " << args[0] << " last said: " << last.text;
        return ok;
    }
    // A failure is one line on the terminal and the given status.
    void failsWith(std::vector<std::string> const& args, int status, std::string const& line) {
        Outcome r = topctl(args);
        EXPECT_EQ(status, r.status) << r.text;
        ASSERT_EQ(1u, r.lines.size()) << r.text;
        EXPECT_EQ(0u, r.lines[0].rfind(line, 0)) << r.text;
    }
};

size_t linesWith(Outcome const& r, std::string const& fragment) {
    size_t n = 0;
    for (auto const& l : r.lines) n += l.find(fragment) != std::string::npos;
    return n;
}

JsonValue const& flow(JsonValue const& flows, double key) {
    for (auto const& f : flows["flows"].items)
        if (f["key"].n == key) return f;
    static JsonValue const none;
    return none;
}

}  // namespace

// An operator's session: read the flows, unlock one and see the chip follow,
// lose the lock and see the alarm, read the ORB counters, mistype.
TEST_F(Topctl, OperatorSessionOnACard) {
    startModel({"1:1:0:10.0.0.1", "2:2:1:10.0.0.2"});
    startTask();

    Outcome r = topctl({"flows", "--json"});
    ASSERT_EQ(0, r.status) << r.text;
    ASSERT_TRUE(r.isJson) << r.text;
    ASSERT_EQ(2u, r.json["flows"].items.size());
    EXPECT_EQ(0, flow(r.json, 1)["adminState"].n);
    EXPECT_EQ("10.0.0.1", flow(r.json, 1)["masterIp"].s);
    EXPECT_EQ(2, flow(r.json, 2)["unit"].n);
    EXPECT_FALSE(flow(r.json, 1)["drvInitStatus"].b);

    ASSERT_EQ(0, topctl({"set", "1", "admin", "1"}).status);
    EXPECT_TRUE(eventually({"chip", "state"}, [](Outcome const& c) {
        return c.status == 0 && c.text.find("state=0 ") != std::string::npos &&
               c.text.find("master=0x0a000001") != std::string::npos;
    }));
    EXPECT_TRUE(eventually({"flows", "--json"}, [](Outcome const& f) {
        return f.isJson && flow(f.json, 1)["drvInitStatus"].b &&
               flow(f.json, 1)["driverInfo"]["masterLockState"].n == 0;
    }));
    ASSERT_EQ(0, topctl({"set", "1", "rate", "-3"}).status);
    EXPECT_TRUE(eventually({"chip", "state"},
                           [](Outcome const& c) { return c.text.find("log-mean-sync=-3") != std::string::npos; }));

    ASSERT_EQ(0, topctl({"chip", "lock", "0"}).status);
    EXPECT_TRUE(eventually({"alarms", "--json"}, [](Outcome const& a) {
        return a.isJson && a.json["active"].items.size() == 1 && a.json["active"][0]["key"].n == 1 &&
               a.json["active"][0]["name"].s == "sync-source-lost";
    }));
    r = topctl({"flows"});
    EXPECT_NE(std::string::npos, r.text.find("sync-source-lost")) << r.text;

    // The task has sent to the model since anybody last read its counters.
    r = topctl({"orb", "topAdapter", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    ASSERT_EQ(1u, r.json["peers"].items.size());
    JsonValue const& task = r.json["peers"][0];
    EXPECT_EQ("topAdapter", task["actor"].s);
    char model[16];
    std::snprintf(model, sizeof model, "0x%04X0101", kModelNameId);
    bool toModel = false;
    for (auto const& c : task["counters"].items) toModel |= c["termId"].s == model && c["sent"].n > 0;
    EXPECT_TRUE(toModel) << r.text;
    r = topctl({"orb"});
    EXPECT_EQ(1u, linesWith(r, "topmodel (termination")) << r.text;
    r = topctl({"orb", "--self"});
    EXPECT_EQ(1u, linesWith(r, "number of handler threads")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "  topAdapter ")) << r.text;

    // Flow 2 is another unit's: no task answers its performance service.
    r = topctl({"perf", "2", "--wait", "0.3"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(1u, linesWith(r, "flow 2: no data from the task")) << r.text;
    r = topctl({"perf", "1", "--json", "--history", "--wait", "0.3"});
    ASSERT_TRUE(r.isJson) << r.text;
    EXPECT_EQ(1, r.json["key"].n);
    EXPECT_EQ(r.json["answered"].b ? 5u : 0u, r.json["counters"].items.size()) << r.text;

    // Data as a task publishes it, written here as the task would: the tool shows the model's record.
    model_([](ModelControlClient& c) {
        PerformanceServiceClient::IdentData_t d;
        d.ident = 1, d.valid = true, d.current = 42, d.elapsed = 3, d.history[0] = 5, d.history[2] = 7;
        TipprmiSequence<PerformanceServiceClient::IdentData_t> data;
        data.push_back(d);
        c.createFlow(7, 3, 0, TipprmiArray<short, 4>()).getPerformanceSvc().setAdapterData(data);
    });
    r = topctl({"perf", "7", "--last", "--history"});
    EXPECT_EQ(1u, linesWith(r, "sls              current 42, history 3 intervals")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "non-zero: [0]=5 [2]=7")) << r.text;
    r = topctl({"perf", "7", "--last", "--history", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    JsonValue const& sls = r.json["counters"][0];
    EXPECT_TRUE(r.json["answered"].b && sls["valid"].b);
    EXPECT_EQ(42, sls["current"].n);
    ASSERT_EQ(3u, sls["history"].items.size());
    EXPECT_EQ(7, sls["history"][2].n);

    r = topctl({"watch", "0.1", "--count", "2"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(2u, linesWith(r, "topctl watch:")) << r.text;
    EXPECT_EQ(2u, linesWith(r, "chip of topAdapter: state=0 ")) << r.text;
    r = topctl({"watch", "--count", "1", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    EXPECT_TRUE(r.json["model"].b);
    EXPECT_EQ(0, r.json["chip"]["state"].n);
    EXPECT_EQ(3u, r.json["flows"].items.size());

    ASSERT_EQ(0, topctl({"create", "5", "1"}).status);
    failsWith({"create", "5", "1"}, 1, "topctl: flow 5 exists already");
    ASSERT_EQ(0, topctl({"delete", "5"}).status);
    failsWith({"set", "9", "admin", "1"}, 1, "topctl: no flow 9 in the model");
    failsWith({"set", "1", "master", "10.0.0.300"}, 2, "topctl: bad address '10.0.0.300'");
    failsWith({"orb", "nosuchactor"}, 1, "topctl: no actor named nosuchactor");
    failsWith({"chip", "lock", "maybe"}, 1, "topctl: chip: bad value 'maybe'");
}

// Without a model, a chip or a node the tool says which is missing.
TEST_F(Topctl, MissingPeersAndHelp) {
    failsWith({"flows"}, 1, "topctl: model not reachable on the node");
    failsWith({"chip", "-n", "nobody", "state"}, 1, "topctl: chip not reachable");
    char empty[] = "/tmp/topctl-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(empty));
    failsWith({"-d", empty, "alarms"}, 1, "topctl: cannot join the node at");
    rmdir(empty);
    failsWith({"frobnicate"}, 2, "topctl: unknown command 'frobnicate'");
    // The live view carries on without them.
    Outcome r = topctl({"watch", "0.1", "--count", "1"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(1u, linesWith(r, "model: not reachable on the node")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "chip of topAdapter: not reachable")) << r.text;
    r = topctl({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.text.find("usage: topctl")) << r.text;
    for (char const* sub : {"flows", "set", "create", "delete", "alarms", "perf", "orb", "chip", "watch"}) {
        r = topctl({sub, "--help"});
        EXPECT_EQ(0, r.status) << sub;
        EXPECT_EQ(0u, r.text.find(std::string("usage: topctl ") + sub)) << r.text;
    }
}
