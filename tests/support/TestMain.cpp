#include <gtest/gtest.h>

#include <mutex>
#include <time.h>

#include "LogCapture.h"

namespace testsupport {
namespace {

struct Capture {
    std::mutex mutex;
    std::vector<diag::Record> records;
    std::vector<std::string> expected;
};

Capture& capture() {
    static Capture* c = new Capture;
    return *c;
}

bool isExpected(Capture& c, diag::Record const& r) {
    for (auto const& e : c.expected)
        if (r.text.find(e) != std::string::npos) return true;
    return false;
}

// Runs before the result printer so that a failure it adds is reported with
// the test it belongs to.
class ErrorRecordListener : public ::testing::EmptyTestEventListener {
    void OnTestStart(::testing::TestInfo const&) override {
        Capture& c = capture();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.records.clear();
        c.expected.clear();
    }
    void OnTestEnd(::testing::TestInfo const&) override {
        std::vector<std::string> unexpected;
        {
            Capture& c = capture();
            std::lock_guard<std::mutex> lock(c.mutex);
            for (auto const& r : c.records)
                if (r.isError() && !isExpected(c, r))
                    unexpected.push_back(r.file + ":" + std::to_string(r.line) + " " + r.text);
        }
        for (auto const& u : unexpected) ADD_FAILURE() << "unexpected error record: " << u;
    }
};

}  // namespace

void expectError(std::string const& fragment) {
    Capture& c = capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    c.expected.push_back(fragment);
}

std::vector<diag::Record> records(std::string const& fragment) {
    Capture& c = capture();
    std::lock_guard<std::mutex> lock(c.mutex);
    std::vector<diag::Record> out;
    for (auto const& r : c.records)
        if (r.text.find(fragment) != std::string::npos) out.push_back(r);
    return out;
}

size_t countRecords(std::string const& fragment) { return records(fragment).size(); }

bool waitForRecords(std::string const& fragment, size_t n, std::chrono::milliseconds deadline) {
    return waitUntil([&] { return countRecords(fragment) >= n; }, deadline);
}

}  // namespace testsupport

int main(int argc, char** argv) {
    ::testing::InitGoogleTest(&argc, argv);
    diag::setCaptureSink([](diag::Record const& r) {
        auto& c = testsupport::capture();
        std::lock_guard<std::mutex> lock(c.mutex);
        c.records.push_back(r);
    });
    auto& listeners = ::testing::UnitTest::GetInstance()->listeners();
    auto* printer = listeners.Release(listeners.default_result_printer());
    listeners.Append(new testsupport::ErrorRecordListener);
    if (printer) listeners.Append(printer);
    return RUN_ALL_TESTS();
}
