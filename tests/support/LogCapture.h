// Every test binary captures all log and trace records. A test fails when the
// code emits an error record (log severity <= 3, or an error trace) whose text
// the test did not declare with expectError().
#pragma once

#include <chrono>
#include <string>
#include <vector>

#include "Diag.h"

namespace testsupport {

// Declares that error records containing `fragment` are expected in the
// current test (any number of them).
void expectError(std::string const& fragment);

// Copies of the records captured since the current test started, of those
// whose text contains `fragment` when one is given.
std::vector<diag::Record> records(std::string const& fragment = "");

// Number of captured records whose text contains `fragment`.
size_t countRecords(std::string const& fragment);

// Waits until at least `n` records contain `fragment`; false on time-out.
bool waitForRecords(std::string const& fragment, size_t n = 1,
                    std::chrono::milliseconds deadline = std::chrono::milliseconds(10000));

// Waits until `pred()` holds, asking every `period`; false on time-out.
template <typename Pred>
bool waitUntil(Pred pred, std::chrono::milliseconds deadline = std::chrono::milliseconds(10000),
               std::chrono::milliseconds period = std::chrono::milliseconds(1)) {
    auto end = std::chrono::steady_clock::now() + deadline;
    while (!pred()) {
        if (std::chrono::steady_clock::now() > end) return false;
        struct timespec ts = {0, static_cast<long>(period.count()) * 1000000};
        nanosleep(&ts, nullptr);
    }
    return true;
}

}  // namespace testsupport
