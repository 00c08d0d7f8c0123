// metrics --listen: an exporter that stays on the node and serves /metrics
// over HTTP. The main thread, the only one that calls into the node, reads
// the card when a scrape finds the last reading older than the interval;
// the server's threads only wait for that reading and write it out, so that
// any number of scrapers cause one reading per interval. The ORB counters,
// which each actor clears when it answers, are summed into counters here.
#include <httplib.h>
#include <signal.h>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstring>
#include <map>
#include <mutex>
#include <set>
#include <thread>

#include "Metrics.h"

namespace topctl {

namespace {

volatile sig_atomic_t gStop = 0;
void onStop(int) { gStop = 1; }

typedef std::chrono::steady_clock Steady;

// How long a scrape waits for the reading it asked for, in seconds.
constexpr double kScrapeWait = 0.9;

// An actor's counts towards one destination, summed over the readings.
struct OrbTotal {
    std::string labels;
    unsigned long long sent = 0, failed = 0;
};

class Exporter {
public:
    explicit Exporter(double interval) : interval_(interval) {}

    // The answer to one scrape: the reading of this interval, waited for
    // until `budget` has passed, else the last one.
    std::string scrape(Exposition format, std::chrono::duration<double> budget) {
        std::unique_lock<std::mutex> lock(mutex_);
        ++scrapes_;
        if (!reading_ && (readings_ == 0 || Steady::now() - readStart_ >= interval_)) {
            wanted_ = true;
            wake_.notify_all();
        }
        unsigned long long const seen = readings_;
        if (wanted_ || reading_)
            read_.wait_for(lock, budget, [&] { return readings_ != seen || stopping_; });
        return exposition(families(), format);
    }

    // The main thread's loop: a reading whenever a scrape asks for one.
    void run(Session& s) {
        bool modelWas = true;
        unsigned tasksWere = 0;
        while (!gStop) {
            {
                std::unique_lock<std::mutex> lock(mutex_);
                if (!wake_.wait_for(lock, std::chrono::milliseconds(200), [&] { return wanted_; })) continue;
                wanted_ = false;
                reading_ = true;
                readStart_ = Steady::now();
            }
            bool const nodeUp = s.nodeUp();
            CardReading r;
            // Without the membership service nobody would report a peer that ends under a call.
            if (nodeUp) r = readCard(s, true);
            double const took = std::chrono::duration<double>(Steady::now() - readStart_).count();
            // A line when the model or the tasks come or go, for the journal.
            if (nodeUp && r.modelUp != modelWas)
                std::fprintf(stderr, "topctl: model %s\n", r.modelUp ? "back on the node" : "not reachable on the node");
            if (nodeUp && r.tasks != tasksWere)
                std::fprintf(stderr, "topctl: tasks on the node: %u (%u before)\n", r.tasks, tasksWere);
            if (nodeUp) modelWas = r.modelUp, tasksWere = r.tasks;
            std::lock_guard<std::mutex> lock(mutex_);
            take(r, nodeUp);
            lastReadSeconds_ = took;
            int64_t sec = 0;
            unsigned ms = 0;
            wallClock(&sec, &ms);
            lastReadAt_ = static_cast<double>(sec) + ms / 1000.0;
            ++readings_;
            reading_ = false;
            read_.notify_all();
        }
        std::lock_guard<std::mutex> lock(mutex_);
        stopping_ = true;
        read_.notify_all();
    }

private:
    // Called with the mutex held.
    void take(CardReading& r, bool nodeUp) {
        nodeUp_ = nodeUp;
        modelUp_ = nodeUp && r.modelUp;
        tasks_ = r.tasks;
        gauges_ = std::move(r.gauges);
        // The series of an actor that did not answer go: it has gone, or
        // restarted with counters of its own.
        std::set<unsigned long> const answered(r.answered.begin(), r.answered.end());
        for (auto it = orb_.begin(); it != orb_.end();)
            it = answered.count(it->first.first) ? std::next(it) : orb_.erase(it);
        for (OrbCount const& o : r.orb) {
            // An actor keeps a destination that left (every topctl run is one): its series goes once it counts no more.
            if (o.destinationActor == "gone" && o.sent == 0 && o.failed == 0) {
                orb_.erase({o.termination, o.destination});
                continue;
            }
            OrbTotal& t = orb_[{o.termination, o.destination}];
            if (t.labels.empty())
                t.labels = "actor=" + labelValue(o.actor) + ",termination=\"" + hex32(o.termination) +
                           "\",destination=\"" + hex32(o.destination) +
                           "\",destination_actor=" + labelValue(o.destinationActor);
            t.sent += o.sent;
            t.failed += o.failed;
        }
    }

    // Called with the mutex held.
    std::vector<Family> families() const {
        std::vector<Family> out = gauges_;
        Family sent{"topadapter_orb_messages_sent", "counter", "",
                    "Messages an actor's ORB sent to a destination, summed over the readings of this exporter.", {}};
        Family failed{"topadapter_orb_messages_failed", "counter", "",
                      "Messages an actor's ORB failed to send to a destination, summed over the readings of this "
                      "exporter.",
                      {}};
        for (auto const& o : orb_) {
            sent.add(o.second.labels, o.second.sent);
            failed.add(o.second.labels, o.second.failed);
        }
        Family node{"topadapter_node_up", "gauge", "", "Whether the node's membership service ran at the last reading.",
                    {}};
        Family model{"topadapter_model_up", "gauge", "", "Whether the model was reachable at the last reading.", {}};
        Family tasks{"topadapter_tasks", "gauge", "", "Tasks whose status object answered at the last reading.", {}};
        Family reads{"topadapter_exporter_readings", "counter", "", "Readings of the card by this exporter.", {}};
        Family scrapes{"topadapter_exporter_scrapes", "counter", "", "Scrapes this exporter answered.", {}};
        Family took{"topadapter_exporter_reading_duration_seconds", "gauge", "seconds",
                    "How long the last reading of the card took.", {}};
        Family at{"topadapter_exporter_reading_timestamp_seconds", "gauge", "seconds",
                  "When the last reading of the card ended (seconds since 1970).", {}};
        node.add("", static_cast<long long>(nodeUp_));
        model.add("", static_cast<long long>(modelUp_));
        tasks.add("", static_cast<long long>(tasks_));
        reads.add("", readings_);
        scrapes.add("", scrapes_);
        took.add("", lastReadSeconds_);
        char when[32];
        std::snprintf(when, sizeof when, "%.3f", lastReadAt_);
        at.samples.emplace_back("", when);
        for (Family* f : {&sent, &failed, &node, &model, &tasks, &reads, &scrapes, &took, &at}) out.push_back(*f);
        return out;
    }

    std::chrono::duration<double> const interval_;
    std::mutex mutex_;
    std::condition_variable wake_;  // a reading is wanted
    std::condition_variable read_;  // a reading is done
    bool wanted_ = false, reading_ = false, stopping_ = false;
    Steady::time_point readStart_;
    unsigned long long readings_ = 0, scrapes_ = 0;
    double lastReadSeconds_ = 0, lastReadAt_ = 0;
    bool nodeUp_ = false, modelUp_ = false;
    unsigned tasks_ = 0;
    std::vector<Family> gauges_;
    std::map<std::pair<unsigned long, unsigned long>, OrbTotal> orb_;
};

// "HOST:PORT", "[V6]:PORT" or ":PORT" (every address).
void parseListen(std::string const& text, std::string* host, int* port) {
    size_t const colon = text.rfind(':');
    if (colon == std::string::npos) usageError("bad --listen '" + text + "' (HOST:PORT, e.g. 127.0.0.1:9870)");
    *host = text.substr(0, colon);
    if (host->size() >= 2 && host->front() == '[' && host->back() == ']') *host = host->substr(1, host->size() - 2);
    if (host->empty()) *host = "0.0.0.0";
    *port = static_cast<int>(number(text.substr(colon + 1), 0, 65535, "port"));
}

}  // namespace

Exit serveMetrics(Session& s, std::string const& listen, double interval) {
    std::string host;
    int port = 0;
    parseListen(listen, &host, &port);
    s.outlastNodeService();
    Exporter exporter(interval);
    httplib::Server server;
    // A few scrapers at once is all there is; each only waits for the reading.
    server.new_task_queue = [] { return new httplib::ThreadPool(4); };
    server.Get("/metrics", [&](httplib::Request const& req, httplib::Response& res) {
        bool const open = req.get_header_value("Accept").find("application/openmetrics-text") != std::string::npos;
        // A scrape is answered within a second (sooner if Prometheus says it
        // waits less): a reading that takes longer leaves it the last one.
        double budget = kScrapeWait;
        if (req.has_header("X-Prometheus-Scrape-Timeout-Seconds"))
            budget = std::min(budget,
                              std::atof(req.get_header_value("X-Prometheus-Scrape-Timeout-Seconds").c_str()) - 0.25);
        std::chrono::duration<double> const wait(budget < 0.1 ? 0.1 : budget);
        res.set_content(exporter.scrape(open ? Exposition::kOpenMetrics : Exposition::kText, wait),
                        open ? "application/openmetrics-text; version=1.0.0; charset=utf-8"
                             : "text/plain; version=0.0.4; charset=utf-8");
    });
    server.Get("/", [](httplib::Request const&, httplib::Response& res) {
        res.set_content("topctl metrics exporter: the node's metrics are at /metrics\n", "text/plain");
    });
    bool const bound = port == 0 ? (port = server.bind_to_any_port(host)) > 0 : server.bind_to_port(host, port);
    if (!bound) fail("cannot listen on " + listen + ": " + std::strerror(errno));
    signal(SIGINT, onStop);
    signal(SIGTERM, onStop);
    signal(SIGPIPE, SIG_IGN);  // a scraper that hangs up is no reason to end
    std::thread http([&] { server.listen_after_bind(); });
    std::string const shown = host.find(':') != std::string::npos ? "[" + host + "]" : host;
    std::printf("topctl: serving the node's metrics at http://%s:%d/metrics\n", shown.c_str(), port);
    std::fflush(stdout);
    exporter.run(s);
    server.stop();
    http.join();
    return kDone;
}

}  // namespace topctl
