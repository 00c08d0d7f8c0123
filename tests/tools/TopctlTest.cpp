// The operator tool as a user runs it: one process per command against a
// simulated card, judged by its exit status and what it prints (standard
// output and error together, so that stray log lines show). Every JSON
// document a command prints is validated against the command's schema
// (tools/topctl/schema) when the test ends.
#include <gtest/gtest.h>
#include <httplib.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <fstream>
#include <functional>
#include <thread>

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
    void TearDown() override {
        validateDocuments();
        Card::TearDown();
    }
    // The tool gets the identity it picks itself, not this test's.
    std::unique_ptr<ChildProcess> start(std::vector<std::string> const& args) {
        return std::make_unique<ChildProcess>(testsupport::builtExecutable("topctl"), args,
                                              std::map<std::string, std::string>{{"TOPADAPTER_NAME_ID", ""},
                                                                                 {"TOPADAPTER_ACTOR", ""}});
    }
    Outcome topctl(std::vector<std::string> const& args) {
        std::unique_ptr<ChildProcess> p = start(args);
        Outcome r;
        r.status = p->exitCode(30s);
        r.lines = p->lines();
        r.text = p->output();
        r.isJson = JsonValue::parse(r.text, &r.json);
        collect(args, r.status, r.lines);
        return r;
    }
    // The JSON documents of a run with --json, each with the schema it must meet.
    void collect(std::vector<std::string> const& args, int status, std::vector<std::string> const& lines) {
        if (std::find(args.begin(), args.end(), "--json") == args.end()) return;
        std::string schema = "error";  // a failure's, whatever the command
        for (size_t i = 0; status != 1 && status != 2 && i < args.size(); ++i) {
            if (args[i] == "-d") {
                ++i;
            } else if (args[i][0] != '-') {
                schema = args[i];
                break;
            }
        }
        for (auto const& l : lines)
            if (!l.empty() && l[0] == '{') documents_.push_back(schema + "\t" + l);
    }
    void validateDocuments() {
        if (documents_.empty()) return;
        std::string const cases = testing::TempDir() + "topctl-json-" + std::to_string(::getpid());
        {
            std::ofstream out(cases);
            for (auto const& d : documents_) out << d << "\n";
        }
        ChildProcess v("/usr/bin/python3", {TOPCTL_JSON_VALIDATOR, TOPCTL_SCHEMA_DIR, cases}, {});
        int const status = v.exitCode(60s);
        EXPECT_EQ(0, status) << (status == 77 ? "needs python3-jsonschema (scripts/deps.sh checks)\n" : "")
                             << v.output();
        std::remove(cases.c_str());
    }
    std::vector<std::string> documents_;
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

// An operator's session: read the flows, unlock one and see its adapter run
// and the chip follow, follow the events, lose the lock and see the alarm,
// read counters, charts, metrics and ORB counters, mistype.
TEST_F(Topctl, OperatorSessionOnACard) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:0:10.0.0.1", "2:2:1:10.0.0.2"}, {"--interval", "0"}));
    ASSERT_NO_FATAL_FAILURE(startTask());

    Outcome r = topctl({"flows", "--json"});
    ASSERT_EQ(0, r.status) << r.text;
    ASSERT_TRUE(r.isJson) << r.text;
    ASSERT_EQ(2u, r.json["flows"].items.size());
    EXPECT_EQ("locked", flow(r.json, 1)["admin"].s);
    EXPECT_EQ("10.0.0.1", flow(r.json, 1)["masterIp"].s);
    EXPECT_EQ(2, flow(r.json, 2)["unit"].n);
    EXPECT_EQ("disabled", flow(r.json, 1)["adapter"]["state"].s);
    EXPECT_EQ(JsonValue::Null, flow(r.json, 2)["adapter"].type) << "another unit's flow has no adapter";

    r = topctl({"flows", "--keys", "--json"});
    EXPECT_EQ(2u, r.json["keys"].items.size()) << r.text;

    // The events of the unlock, as a monitor streams them.
    ChildProcess monitor(testsupport::builtExecutable("topctl"), {"monitor"},
                         {{"TOPADAPTER_NAME_ID", ""}, {"TOPADAPTER_ACTOR", ""}});
    ASSERT_TRUE(monitor.waitForOutput("monitoring 1 tasks")) << monitor.output();
    r = topctl({"set", "1", "admin", "unlocked", "--json"});
    ASSERT_EQ(0, r.status) << r.text;
    EXPECT_EQ("unlocked", r.json["admin"].s);
    EXPECT_EQ(0, topctl({"wait", "1", "running", "--timeout", "20"}).status);
    EXPECT_TRUE(eventually({"chip", "state"}, [](Outcome const& c) {
        return c.status == 0 && c.text.find("state=0 ") != std::string::npos &&
               c.text.find("master=0x0a000001") != std::string::npos;
    }));
    EXPECT_TRUE(monitor.waitForOutput("flow 1 adapter running (was starting)")) << monitor.output();
    monitor.kill(SIGINT);
    EXPECT_EQ(0, monitor.exitCode(10s)) << monitor.output();
    EXPECT_EQ(1u, monitor.countOutput("flow 1 adapter enabled (was disabled)")) << monitor.output();
    EXPECT_EQ(1u, monitor.countOutput("flow 1 adapter starting (was enabled)")) << monitor.output();

    EXPECT_EQ(0, topctl({"wait", "1", "locked", "--timeout", "20", "--json"}).status);
    r = topctl({"flows", "--json"});
    // The driver information the task last reported, numbers beside their names.
    EXPECT_EQ(0, flow(r.json, 1)["driverInfo"]["masterLockState"].n) << r.text;
    EXPECT_EQ("locked", flow(r.json, 1)["driverInfo"]["masterLockStateName"].s) << r.text;
    EXPECT_EQ("good", flow(r.json, 1)["driverInfo"]["masterClockStateName"].s) << r.text;
    r = topctl({"flow", "1", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    EXPECT_EQ("running", r.json["adapter"]["state"].s);
    EXPECT_TRUE(r.json["adapter"]["counting"].b);
    EXPECT_TRUE(r.json["task"]["apiAlive"].b);
    ASSERT_EQ(2u, r.json["alarms"].items.size());
    r = topctl({"flow", "1"});
    EXPECT_EQ(1u, linesWith(r, "adapter                      running since 20")) << r.text;
    r = topctl({"set", "1", "rate", "-3"});
    EXPECT_EQ("flow 1: rate -3", r.lines.at(0));
    EXPECT_TRUE(eventually({"chip", "state"},
                           [](Outcome const& c) { return c.text.find("log-mean-sync=-3") != std::string::npos; }));

    ASSERT_EQ(0, topctl({"chip", "lock", "0"}).status);
    EXPECT_TRUE(eventually({"alarms", "--json"}, [](Outcome const& a) {
        return a.isJson && a.json["active"].items.size() == 1 && a.json["active"][0]["key"].n == 1 &&
               a.json["active"][0]["name"].s == "sync-source-lost" &&
               a.json["alarms"].items.back()["received"].s.find('T') == 10;
    }));
    r = topctl({"wait", "1", "alarm-free", "--timeout", "0", "--json"});
    EXPECT_EQ(3, r.status);
    EXPECT_FALSE(r.json["reached"].b) << r.text;
    r = topctl({"flows", "--json"});
    EXPECT_EQ("unlocked", flow(r.json, 1)["driverInfo"]["masterLockStateName"].s) << r.text;
    r = topctl({"flows"});
    EXPECT_EQ(1u, linesWith(r, "running            up     no")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "sync-source-lost")) << r.text;

    // The task has sent to the model since anybody last read its counters.
    r = topctl({"orb", "topAdapter", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    ASSERT_EQ(1u, r.json["peers"].items.size());
    JsonValue const& peer = r.json["peers"][0];
    EXPECT_EQ("topAdapter", peer["actor"].s);
    EXPECT_TRUE(peer["answered"].b);
    char modelId[16];
    std::snprintf(modelId, sizeof modelId, "0x%04X0101", kModelNameId);
    bool toModel = false;
    for (auto const& c : peer["counters"].items) toModel |= c["termId"].s == modelId && c["sent"].n > 0;
    EXPECT_TRUE(toModel) << r.text;
    r = topctl({"orb"});
    EXPECT_EQ(1u, linesWith(r, "topmodel (termination")) << r.text;
    r = topctl({"orb", "--self"});
    EXPECT_EQ(1u, linesWith(r, "number of handler threads")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "  topAdapter ")) << r.text;
    EXPECT_EQ(0, topctl({"orb", "--self", "--json"}).status);
    r = topctl({"chip", "state", "--json"});
    EXPECT_EQ(0, r.json["state"].n) << r.text;

    // Flow 2 is another unit's: no task answers its performance service.
    r = topctl({"perf", "2", "--wait", "0.3", "--json"});
    EXPECT_EQ(3, r.status);
    EXPECT_EQ("{\"schema\":1,\"key\":2,\"command\":\"all\",\"answered\":false}", r.lines.at(0));
    model_([](ModelControlClient& c) { c.changeOfInterval(); });
    r = topctl({"perf", "1", "--json", "--history"});
    ASSERT_TRUE(r.isJson) << r.text;
    ASSERT_EQ(5u, r.json["counters"].items.size()) << r.text;
    EXPECT_EQ(1u, r.json["counters"][0]["history"].items.size());
    EXPECT_EQ(1u, r.json["intervalEnds"].items.size());
    r = topctl({"perf", "1", "--command", "reset"});
    EXPECT_EQ("flow 1: reset: monitoring exists", r.lines.at(0));

    // Data as a task publishes it, written here as the task would: the
    // phase errors are signed, the history rows and chart series in order.
    model_([](ModelControlClient& c) {
        TipprmiSequence<PerformanceServiceClient::IdentData_t> data;
        long const values[5][3] = {{0, 900, 5}, {-12, -40, -30}, {3, -20, 10}, {25, 60, 40}, {1, 2, 3}};
        for (unsigned long id = 1; id <= 5; ++id) {
            PerformanceServiceClient::IdentData_t d;
            d.ident = id, d.valid = true, d.current = static_cast<unsigned long>(values[id - 1][0]), d.elapsed = 2;
            d.history[0] = static_cast<unsigned long>(values[id - 1][1]);
            d.history[1] = static_cast<unsigned long>(values[id - 1][2]);
            data.push_back(d);
        }
        c.createFlow(7, 3, 0, TipprmiArray<short, 4>()).getPerformanceSvc().setAdapterData(data);
    });
    r = topctl({"perf", "7", "--last"});
    EXPECT_EQ(1u, linesWith(r, "2 min-phase-error  -12 ns       history of 2 intervals")) << r.text;
    r = topctl({"perf", "7", "--last", "--csv", "--ident", "2"});
    ASSERT_LE(3u, r.lines.size()) << r.text;
    EXPECT_EQ("interval,end,min-phase-error_ns", r.lines[0]);
    EXPECT_EQ(0, r.lines[1].compare(0, 2, "0,")) << r.lines[1];
    EXPECT_EQ("-40", r.lines[1].substr(r.lines[1].rfind(',') + 1));
    EXPECT_EQ("-30", r.lines[2].substr(r.lines[2].rfind(',') + 1));
    EXPECT_EQ("2,,", r.lines[3]) << "no third interval";
    r = topctl({"perf", "7", "--last", "--plot"});
    for (auto const& l : r.lines) EXPECT_GE(80u, l.size() - 2 * std::count(l.begin(), l.end(), '\xe2')) << l;
    EXPECT_EQ(1u, linesWith(r, "     60 \u2524")) << r.text;  // the largest maximum tops the chart
    EXPECT_EQ(1u, linesWith(r, "    -40 \u2524")) << r.text;  // the smallest minimum ends it
    EXPECT_EQ(1u, linesWith(r, "    900 \u2524\u2581\u2588")) << r.text;  // oldest first, the latest's full bar
    std::string const svg = testing::TempDir() + "topctl-chart.svg";
    ASSERT_EQ(0, topctl({"perf", "7", "--last", "--svg", svg}).status);
    std::ifstream in(svg);
    std::string const doc((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    for (char const* series : {"class=\"minimum\" fill=\"none\" stroke=\"#2874a6\" stroke-width=\"1.5\" data-values=\"-30 -40\"",
                               "class=\"average\" fill=\"none\" stroke=\"#2c3e50\" stroke-width=\"1.5\" data-values=\"10 -20\"",
                               "class=\"maximum\" fill=\"none\" stroke=\"#c0392b\" stroke-width=\"1.5\" data-values=\"40 60\"",
                               "class=\"sls\" fill=\"#7d3c98\" data-values=\"5 900\""})
        EXPECT_NE(std::string::npos, doc.find(series)) << series << "\n" << doc;
    std::remove(svg.c_str());

    r = topctl({"metrics"});
    ASSERT_EQ(0, r.status) << r.text;
    EXPECT_EQ(1u, linesWith(r, "topadapter_flow_adapter_state{flow=\"1\",unit=\"1\"} 3")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "topadapter_flow_admin_unlocked{flow=\"7\",unit=\"3\"} 0")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "topadapter_flow_alarm_raised{flow=\"1\",unit=\"1\",condition=\"sync-source-lost\"} 1"))
        << r.text;
    EXPECT_EQ(0u, linesWith(r, "flow=\"7\",unit=\"3\",interval")) << "no task keeps flow 7's counters";
    EXPECT_EQ("# EOF", r.lines.back());

    r = topctl({"watch", "-n", "0.1", "--count", "2"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(2u, linesWith(r, "topctl watch:")) << r.text;
    EXPECT_EQ(2u, linesWith(r, "chip of topAdapter: state=0 ")) << r.text;
    r = topctl({"watch", "--count", "1", "--json"});
    ASSERT_TRUE(r.isJson) << r.text;
    EXPECT_TRUE(r.json["model"].b);
    EXPECT_EQ(0, r.json["chip"]["state"].n);
    EXPECT_EQ(3u, r.json["flows"].items.size());
    // RFC 3339 in local time, with the zone's offset at that time.
    std::string const when = r.json["time"].s;
    struct tm local = {};
    time_t const now = time(nullptr);
    localtime_r(&now, &local);
    char offset[32];
    long const minutes = local.tm_gmtoff / 60;
    std::snprintf(offset, sizeof offset, "%c%02ld:%02ld", minutes < 0 ? '-' : '+', std::labs(minutes) / 60,
                  std::labs(minutes) % 60);
    EXPECT_EQ(29u, when.size()) << when;
    EXPECT_EQ(offset, when.substr(23)) << when;

    r = topctl({"create", "5", "1", "--json"});
    EXPECT_TRUE(r.isJson && r.json["created"].b) << r.text;
    failsWith({"create", "5", "1"}, 1, "topctl: flow 5 exists already");
    r = topctl({"--json", "delete", "5"});
    EXPECT_TRUE(r.isJson && r.json["deleted"].b) << r.text;
    failsWith({"set", "9", "admin", "1"}, 1, "topctl: no flow 9 in the model");
    failsWith({"set", "1", "admin", "up"}, 2, "topctl: bad administrative state 'up'");
    failsWith({"set", "1", "master", "10.0.0.300"}, 2, "topctl: bad address '10.0.0.300'");
    failsWith({"orb", "nosuchactor"}, 1, "topctl: no actor named nosuchactor");
    failsWith({"chip", "lock", "maybe"}, 1, "topctl: chip: bad value 'maybe'");
    // With --json a failure is an object on standard output too, and the node is left in order.
    for (auto const& c : std::vector<std::pair<std::vector<std::string>, int> >{
             {{"--json", "set", "9", "admin", "1"}, 1}, {{"orb", "--self", "x", "--json"}, 2}}) {
        r = topctl(c.first);
        EXPECT_EQ(c.second, r.status) << r.text;
        ASSERT_EQ(2u, r.lines.size()) << r.text;
        bool const first = r.lines[0][0] == '{';  // standard output and error, in either order
        JsonValue error;
        ASSERT_TRUE(JsonValue::parse(r.lines[first ? 0 : 1], &error)) << r.text;
        EXPECT_EQ(c.second, error["status"].n);
        EXPECT_EQ("topctl: " + error["error"].s, r.lines[first ? 1 : 0]);
    }
    r = topctl({"alarms", "clear", "--json"});
    EXPECT_LT(0, r.json["cleared"].n) << r.text;
    // None of these many short-lived tools left a peer waiting on it.
    EXPECT_EQ(0u, task->countOutput(" LOG3 ")) << task->output();
    EXPECT_EQ(0u, model->countOutput(" LOG3 ")) << model->output();
}

// Without a model, a chip or a node the tool says which is missing.
TEST_F(Topctl, MissingPeersAndHelp) {
    failsWith({"flows"}, 1, "topctl: model not reachable on the node");
    failsWith({"chip", "-n", "nobody", "state"}, 1, "topctl: chip not reachable");
    char empty[] = "/tmp/topctl-test-XXXXXX";
    ASSERT_NE(nullptr, mkdtemp(empty));
    failsWith({"alarms", "-d", empty}, 1, "topctl: cannot join the node at");
    rmdir(empty);
    failsWith({"frobnicate"}, 2, "topctl: unknown command 'frobnicate'");
    failsWith({"perf", "1", "--command", "9"}, 2, "topctl: unknown trigger command '9'");
    // The live view carries on without them.
    Outcome r = topctl({"watch", "0.1", "--count", "1"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(1u, linesWith(r, "model: not reachable on the node")) << r.text;
    EXPECT_EQ(1u, linesWith(r, "chip of topAdapter: not reachable")) << r.text;
    r = topctl({"--help"});
    EXPECT_EQ(0, r.status);
    EXPECT_EQ(0u, r.text.find("usage: topctl")) << r.text;
    r = topctl({});
    EXPECT_EQ(2, r.status);
    EXPECT_EQ(0u, r.text.find("usage: topctl")) << r.text;
    r = topctl({"--version"});
    EXPECT_EQ(0u, r.text.find("topctl ")) << r.text;
    for (char const* sub : {"flows", "flow", "set", "create", "delete", "alarms", "perf", "metrics", "orb", "chip",
                            "watch", "monitor", "wait"}) {
        r = topctl({sub, "--help"});
        EXPECT_EQ(0, r.status) << sub;
        EXPECT_EQ(0u, r.text.find(std::string("usage: topctl ") + sub)) << r.text;
    }
}

namespace {

// The value of the sample named `series` (with its labels) in an exposition; -1 without one.
double sample(std::string const& exposition, std::string const& series) {
    size_t at = exposition.find("\n" + series + " ");
    return at == std::string::npos ? -1 : std::atof(exposition.c_str() + at + series.size() + 2);
}

// A Prometheus server of its own, in a scratch directory, scraping `target` every second.
struct Prometheus {
    explicit Prometheus(int target) : dir(testing::TempDir() + "prometheus-" + std::to_string(::getpid())) {
        if (::system("command -v prometheus >/dev/null") != 0) return;
        ::mkdir(dir.c_str(), 0700);
        std::ofstream(dir + "/prometheus.yml")
            << "global:\n  scrape_interval: 1s\n  scrape_timeout: 1s\nscrape_configs:\n  - job_name: topctl\n"
               "    static_configs:\n      - targets: ['127.0.0.1:"
            << target << "']\n";
        server = std::make_unique<ChildProcess>(
            "/bin/sh", std::vector<std::string>{"-c", "exec prometheus --config.file=" + dir + "/prometheus.yml --storage.tsdb.path=" +
                                                          dir + "/data --web.listen-address=127.0.0.1:0"},
            std::map<std::string, std::string>{});
        std::string const listening = "msg=\"Listening on\" address=127.0.0.1:";
        if (server->waitForOutput(listening, 60s))
            port = std::atoi(server->output().c_str() + server->output().find(listening) + listening.size());
    }
    ~Prometheus() {
        server.reset();
        if (::system(("rm -rf '" + dir + "'").c_str()) != 0) std::fprintf(stderr, "could not remove %s\n", dir.c_str());
    }
    // The value of an instant query with one result; -1 with none.
    double query(std::string const& promql) {
        httplib::Client c("127.0.0.1", port);
        auto res = c.Get("/api/v1/query", httplib::Params{{"query", promql}}, httplib::Headers{});
        JsonValue v;
        last = res ? res->body : "no answer";
        if (!res || res->status != 200 || !JsonValue::parse(res->body, &v)) return -1;
        JsonValue const& result = v["data"]["result"];
        return result.items.size() == 1 ? std::atof(result[0]["value"][1].s.c_str()) : -1;
    }
    std::string dir, last;  // the last answer
    int port = 0;
    std::unique_ptr<ChildProcess> server;
};

}  // namespace

// The exporter as Prometheus meets it: scraped by a real server (where one is
// installed; promtool reads what it serves), read at most once an interval
// however many scrape at once, and answering all along while the model, the
// task and the membership service go and come back; their series go stale,
// the exporter stays.
TEST_F(Topctl, ExporterServesTheCardWhilePeersComeAndGo) {
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}, {"--interval", "0"}));
    ASSERT_NO_FATAL_FAILURE(startTask());
    std::unique_ptr<ChildProcess> monitor = start({"monitor", "--json"});
    std::unique_ptr<ChildProcess> exporter = start({"metrics", "--listen", "127.0.0.1:0", "--interval", "1"});
    std::string const serving = "topctl: serving the node's metrics at http://127.0.0.1:";
    ASSERT_TRUE(exporter->waitForOutput(serving)) << exporter->output();
    int const port = std::atoi(exporter->output().c_str() + exporter->output().find(serving) + serving.size());
    httplib::Client http("127.0.0.1", port);
    std::string text;
    auto scrape = [&](char const* accept = "text/plain") {
        auto res = http.Get("/metrics", httplib::Headers{{"Accept", accept}});
        text = res && res->status == 200 ? "\n" + res->body : std::string();
        return !text.empty();
    };
    std::string const state = "topadapter_flow_adapter_state{flow=\"1\",unit=\"1\"}";
    auto running = [&] { return scrape() && sample(text, state) == 3; };
    ASSERT_TRUE(waitUntil(running, 30s)) << text << exporter->output();
    EXPECT_EQ(1, sample(text, "topadapter_model_up"));
    EXPECT_EQ(0, sample(text, "topadapter_task_driver_state{unit=\"1\"}")) << text;
    EXPECT_NE(std::string::npos, text.find("\n# TYPE topadapter_orb_messages_sent_total counter\n")) << text;
    if (::system("command -v promtool >/dev/null") == 0) {
        std::string const file = testing::TempDir() + "exporter-" + std::to_string(::getpid()) + ".prom";
        std::ofstream(file) << text.substr(1);
        ChildProcess promtool("/bin/sh", {"-c", "promtool check metrics < " + file}, {});
        EXPECT_EQ(0, promtool.exitCode(30s)) << promtool.output() << text;
        std::remove(file.c_str());
    }
    ASSERT_TRUE(scrape("application/openmetrics-text; version=1.0.0"));
    EXPECT_EQ("# EOF\n", text.substr(text.size() - 6));
    EXPECT_NE(std::string::npos, text.find("\n# TYPE topadapter_orb_messages_sent counter\n")) << text;

    // Eight scrapers for three readings: each reading triggers the flow's
    // performance service once, so the task's answers count the readings.
    char taskToModel[160];  // this test's process is an actor with the task's name too
    std::snprintf(taskToModel, sizeof taskToModel,
                  "topadapter_orb_messages_sent_total{actor=\"topAdapter\",termination=\"0x%04X0101\",destination=\"0x%04X0101\","
                  "destination_actor=\"topmodel\"}",
                  kTaskNameId, kModelNameId);
    auto answers = [&] { return model_([](ModelControlClient& c) { return c.getPerformance(1); }).answers; };
    ASSERT_TRUE(scrape());
    double const scrapes = sample(text, "topadapter_exporter_scrapes_total"), sent = sample(text, taskToModel);
    unsigned long const before = answers();
    auto const begin = std::chrono::steady_clock::now();
    std::vector<std::thread> scrapers;
    std::atomic<unsigned> made{0}, answered{0};
    std::atomic<bool> enough{false};
    for (int i = 0; i < 8; ++i)
        scrapers.emplace_back([&] {
            httplib::Client c("127.0.0.1", port);
            for (; !enough; ++made) answered += c.Get("/metrics") ? 1 : 0;
        });
    EXPECT_TRUE(waitUntil([&] { return answers() >= before + 3; }, 30s));
    enough = true;
    for (auto& t : scrapers) t.join();
    double const seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - begin).count();
    unsigned long const readings = answers() - before;
    EXPECT_EQ(made.load(), answered.load());
    EXPECT_LE(readings, static_cast<unsigned long>(seconds) + 2) << "readings in " << seconds << " s";
    ASSERT_TRUE(scrape());
    EXPECT_LE(scrapes + made, sample(text, "topadapter_exporter_scrapes_total"));
    // Each reading had the task answer the model: the counter sums them all.
    EXPECT_LE(sent + readings, sample(text, taskToModel)) << text;

    Prometheus prometheus(port);
    double first = -1;
    if (prometheus.server) {
        ASSERT_NE(0, prometheus.port) << prometheus.server->output();
        EXPECT_TRUE(waitUntil([&] { return prometheus.query(state) == 3; }, 60s)) << prometheus.server->output();
        // The task sends to the model at every reading: its answers to the triggers.
        EXPECT_TRUE(waitUntil([&] { return (first = prometheus.query(taskToModel)) > 0; }, 30s)) << prometheus.last;
        EXPECT_TRUE(waitUntil([&] { return prometheus.query(taskToModel) > first; }, 30s)) << first << prometheus.last;
    } else {
        std::cout << "prometheus not installed: the exporter is not scraped by a server\n";
    }

    model->kill(SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return scrape() && sample(text, "topadapter_model_up") == 0; }, 30s)) << text;
    EXPECT_EQ(-1, sample(text, state)) << text;
    if (prometheus.server) {
        EXPECT_TRUE(waitUntil([&] { return prometheus.query(state) == -1; }, 30s)) << "the flow's series is stale";
    }
    ASSERT_NO_FATAL_FAILURE(startModel({"1:1:1:10.0.0.1"}, {"--interval", "0"}));
    EXPECT_TRUE(waitUntil(running, 30s)) << text;

    task->kill(SIGKILL);
    EXPECT_TRUE(waitUntil([&] { return scrape() && sample(text, "topadapter_tasks") == 0; }, 30s)) << text;
    EXPECT_EQ(-1, sample(text, "topadapter_task_driver_state{unit=\"1\"}")) << text;
    ASSERT_NO_FATAL_FAILURE(startTask());
    EXPECT_TRUE(waitUntil(running, 30s)) << text;
    // A monitor ends with the node; the exporter outlasts it.
    monitor->kill(SIGINT);
    EXPECT_EQ(0, monitor->exitCode(20s)) << monitor->output();
    collect({"monitor", "--json"}, 0, monitor->lines());
    // At least the restarted task's adapter, which came after the monitor.
    EXPECT_LE(1u, monitor->countOutput("\"event\":\"adapter\",\"key\":1,\"state\":\"running\"")) << monitor->output();

    testsupport::expectError("membership service connection lost");
    testsupport::PrivateNode::service().stop();
    EXPECT_TRUE(waitUntil([&] { return scrape() && sample(text, "topadapter_node_up") == 0; }, 30s)) << text;
    EXPECT_EQ(-1, sample(text, state)) << text;
    ASSERT_TRUE(testsupport::PrivateNode::service().start(testsupport::builtExecutable("topnoded")));
    EXPECT_TRUE(waitUntil([&] { return running() && sample(text, "topadapter_node_up") == 1; }, 30s)) << text;
    if (prometheus.server) {
        EXPECT_TRUE(waitUntil([&] { return prometheus.query(state) == 3; }, 30s));
    }
    exporter->kill(SIGTERM);
    EXPECT_EQ(0, exporter->exitCode(20s)) << exporter->output();
}
